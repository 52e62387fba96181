#include "host/foundation/CommandRegistry.h"

CommandRegistry& CommandRegistry::shared() {
    static CommandRegistry registry;
    return registry;
}

void CommandRegistry::registerCommand(const std::string& name, Factory factory) {
    commands_[name] = std::move(factory);
}

std::unique_ptr<BundleCommand> CommandRegistry::create(const std::string& name) const {
    auto it = commands_.find(name);
    return it == commands_.end() ? nullptr : it->second();
}

std::vector<std::string> CommandRegistry::names() const {
    std::vector<std::string> out;
    for (const auto& [name, factory] : commands_) out.push_back(name);
    return out;
}
