#include "data/ApplicationTitle.h"

#include "host/activator/LAActivator.h"

std::string applicationTitle(const std::string& identifier) {
    auto title = LAActivator::sharedInstance().localizedTitleForListenerName(identifier);
    if (!title || title->empty()) return identifier;
    return std::move(*title);
}
