// A build without HDF5 (no libhdf5 for the architecture built) writes CSV only.
#include "recording/recorder.h"

namespace qolven_recording {

std::unique_ptr<Sink> openHdf5(const FileHeader &) {
    throw WriteFailure("this build of the recorder writes CSV only (it was built without HDF5)");
}

bool hdf5Available() { return false; }

} // namespace qolven_recording
