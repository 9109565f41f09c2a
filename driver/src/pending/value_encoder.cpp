// Placeholder used only while the value encoder's source is not in the tree: nothing is sent.

#include "runtime.h"

namespace kvx::driver {

void EncodeAndWriteTagValue(DriverState&, const TagDescriptor&, VARIANT&) {}

}  // namespace kvx::driver
