#include "platform/SerialPorts.h"

namespace qarn {

SerialPorts::~SerialPorts() = default;

} // namespace qarn
