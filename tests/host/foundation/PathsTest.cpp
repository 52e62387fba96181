#include "host/foundation/Paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <optional>

namespace {

using Setting = std::optional<std::string>;  // nothing: the variable is unset

// Sets or unsets one environment variable for a scope.
class Override {
  public:
    Override(const char* name, const Setting& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    ~Override() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

  private:
    const char* name_;
    Setting old_;
};

TEST(Paths, ExpandTildeOnlyExpandsTheCurrentUsersHome) {
    Override home("HOME", "/home/tester/");
    std::pair<const char*, const char*> cases[] = {
        {"~", "/home/tester"},   {"~/x", "/home/tester/x"},
        {"~/", "/home/tester/"}, {"~user", "~user"},
        {"/abs", "/abs"},        {"rel", "rel"},
        {"a/~/b", "a/~/b"},      {"", ""}};
    for (auto [input, expected] : cases) EXPECT_EQ(Paths::expandTilde(input), expected) << input;
}

TEST(Paths, HomeFallsBackToPasswdEntry) {
    passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    for (const Setting& value : {Setting(), Setting("")}) {
        Override home("HOME", value);
        EXPECT_EQ(Paths::homeDirectory(), entry->pw_dir);
    }
}

TEST(Paths, XdgVariablesCountOnlyWhenAbsolute) {
    Override home("HOME", "/h");
    for (const Setting& value : {Setting(), Setting(""), Setting("relative/dir")}) {
        Override config("XDG_CONFIG_HOME", value), data("XDG_DATA_HOME", value);
        EXPECT_EQ(Paths::configHome(), "/h/.config");
        EXPECT_EQ(Paths::dataHome(), "/h/.local/share");
    }
    Override config("XDG_CONFIG_HOME", "/xdg/"), data("XDG_DATA_HOME", "/xdg");
    EXPECT_EQ(Paths::configHome(), "/xdg");
    EXPECT_EQ(Paths::dataHome(), "/xdg");

    using List = std::vector<std::string>;
    const List defaults = {"/usr/local/share", "/usr/share"};
    std::pair<Setting, List> dataDirs[] = {{Setting(), defaults},
                                           {"", defaults},
                                           {"rel:other", defaults},
                                           {"/a:rel::/b/", {"/a", "/b"}}};
    for (const auto& [value, expected] : dataDirs) {
        Override dirs("XDG_DATA_DIRS", value);
        EXPECT_EQ(Paths::dataDirs(), expected) << value.value_or("(unset)");
    }
}

}  // namespace
