// Placeholder used only while the scaling property source is not in the tree: requests leave
// values and records as they are.

#include "runtime.h"

namespace kvx::driver {

void ReadScaleProperty(const TagNode&, VARIANT&) {}
void WriteScaleProperty(DriverState&, const TagNode&, const VARIANT&) {}

}  // namespace kvx::driver
