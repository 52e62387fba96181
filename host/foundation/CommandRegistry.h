#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A command-line command that a bundle offers to the application hosting it, such as
// `bytarn report`. The application starts first (time zone, locale, clock, bundles), then hands
// the command the rest of its command line.
class BundleCommand {
  public:
    virtual ~BundleCommand() = default;
    // Returns the process exit status. Writes its results to `out` and its messages to `err`.
    virtual int run(const std::vector<std::string>& arguments, std::ostream& out,
                    std::ostream& err) = 0;
};

// The commands of the loaded bundles by name. Bundles register theirs when they load, as they
// register their page and cell classes.
class CommandRegistry {
  public:
    using Factory = std::function<std::unique_ptr<BundleCommand>()>;

    static CommandRegistry& shared();

    void registerCommand(const std::string& name, Factory factory);
    // A new command of that name, or nothing when no loaded bundle offers it.
    std::unique_ptr<BundleCommand> create(const std::string& name) const;
    std::vector<std::string> names() const;

  private:
    std::map<std::string, Factory> commands_;
};

template <class Command>
struct CommandRegistration {
    explicit CommandRegistration(const char* name) {
        CommandRegistry::shared().registerCommand(name, [] { return std::make_unique<Command>(); });
    }
};

// Registers a command class under a name when the library that defines it loads.
#define REGISTER_BUNDLE_COMMAND(Command, name) \
    static const CommandRegistration<Command> command_registration_of_##Command(name)
