# The driver library leaves the FT_* functions to a bridge library that the
# host links after it: FTDI's libftd2xx for real hardware, or the simulated
# bridge (-DQOLVEN_USE_SIM=ON) to run without hardware.  Sets QOLVEN_BRIDGE.
option(QOLVEN_USE_SIM "Link the simulated bridge instead of FTDI's D2XX library" OFF)
if(QOLVEN_USE_SIM)
  find_package(QolvenUsb 1 REQUIRED COMPONENTS sim)
  set(QOLVEN_BRIDGE QolvenUsb::qolven_d2xx_sim)
else()
  find_library(FTD2XX_LIBRARY ftd2xx REQUIRED)
  set(QOLVEN_BRIDGE ${FTD2XX_LIBRARY})
endif()
