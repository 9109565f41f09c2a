// Placeholder used only while the value decoder's source is not in the tree: the value stays
// as the host passed it.

#include "runtime.h"

namespace kvx::driver {

void DecodeTagValue(DriverState&, const TagDescriptor&, VARIANT&) {}

}  // namespace kvx::driver
