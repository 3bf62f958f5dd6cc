#include "platform/MainQueue.h"

namespace qarn {

MainQueue::~MainQueue() = default;

}  // namespace qarn
