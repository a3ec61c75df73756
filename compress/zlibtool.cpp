#include "compress/zlibtool.h"

// Not built yet: nothing calls these before the scan can store files.
std::int16_t TZlibTool::Compress() { throw TZlibError("The compressor is not available yet"); }

std::int16_t TZlibTool::Decompress() { throw TZlibError("The compressor is not available yet"); }
