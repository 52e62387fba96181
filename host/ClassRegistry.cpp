#include "host/ClassRegistry.h"

#include "host/PSViewController.h"

ClassRegistry& ClassRegistry::shared() {
    static ClassRegistry registry;
    return registry;
}

void ClassRegistry::registerPage(const std::string& name, PageFactory factory) {
    pages_[name] = std::move(factory);
}

std::shared_ptr<PSViewController> ClassRegistry::createPage(const std::string& name) const {
    auto it = pages_.find(name);
    return it == pages_.end() ? nullptr : it->second();
}

bool ClassRegistry::hasPage(const std::string& name) const {
    return pages_.count(name) != 0;
}

std::vector<std::string> ClassRegistry::pageNames() const {
    std::vector<std::string> names;
    for (const auto& [name, factory] : pages_) names.push_back(name);
    return names;
}
