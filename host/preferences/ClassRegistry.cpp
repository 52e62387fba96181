#include "host/preferences/ClassRegistry.h"

#include "host/preferences/PSTableCell.h"
#include "host/preferences/PSViewController.h"

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

void ClassRegistry::registerCell(const std::string& name, CellFactory factory) {
    cells_[name] = std::move(factory);
}

std::shared_ptr<PSTableCell> ClassRegistry::createCell(
    const std::string& name, const std::shared_ptr<PSSpecifier>& row) const {
    auto it = cells_.find(name);
    return it == cells_.end() ? nullptr : it->second(row);
}
