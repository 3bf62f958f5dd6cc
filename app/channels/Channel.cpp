#include "channels/Channel.h"

#include <utility>

namespace qarn {

std::shared_ptr<Channel> Channel::create() {
    return std::make_shared<Channel>();
}

Channel::~Channel() = default;

std::int64_t Channel::numberOfItems() const {
    return 1;
}

ItemData Channel::dataAt(std::int64_t) const {
    return std::string("Hallo");
}

Size Channel::sizeAt(std::int64_t) const {
    return {200.0, 47.0};
}

std::string Channel::itemIdentifierAt(std::int64_t) const {
    return kChannelItemIdentifier;
}

SharedHistory Channel::sharedHistoryAt(std::int64_t) const {
    return nullptr;
}

std::string Channel::toolTipAt(std::int64_t) const {
    return {};
}

void Channel::sample() {}

Dictionary Channel::row(std::string name, std::string value) {
    return {{kNameKey, std::move(name)}, {kValueKey, std::move(value)}};
}

}  // namespace qarn
