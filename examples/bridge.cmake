# The driver library leaves the FT_* functions to a bridge library that the
# host links after it: FTDI's libftd2xx for real hardware, the D2XX functions on
# libftdi1 (-DQOLVEN_USE_FTDI1=ON) for real hardware with Debian's packages
# only, or the simulated bridge (-DQOLVEN_USE_SIM=ON) to run without hardware.
# Sets QOLVEN_BRIDGE.
option(QOLVEN_USE_SIM "Link the simulated bridge instead of FTDI's D2XX library" OFF)
option(QOLVEN_USE_FTDI1 "Link libqolven_ftdi1 (on libftdi1) instead of FTDI's D2XX library" OFF)
if(QOLVEN_USE_SIM)
  find_package(QolvenUsb 1 REQUIRED COMPONENTS sim)
  set(QOLVEN_BRIDGE QolvenUsb::qolven_d2xx_sim)
elseif(QOLVEN_USE_FTDI1)
  find_package(QolvenUsb 1 REQUIRED COMPONENTS ftdi1)
  set(QOLVEN_BRIDGE QolvenUsb::qolven_ftdi1)
else()
  find_library(FTD2XX_LIBRARY ftd2xx REQUIRED)
  set(QOLVEN_BRIDGE ${FTD2XX_LIBRARY})
endif()
