#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class PSViewController;

// Resolves the class names that plists and Info.plist give to page classes. Bundles register
// their classes when they load.
class ClassRegistry {
  public:
    using PageFactory = std::function<std::shared_ptr<PSViewController>()>;

    static ClassRegistry& shared();

    void registerPage(const std::string& name, PageFactory factory);
    // A new page of that class, or nothing when no such class is registered.
    std::shared_ptr<PSViewController> createPage(const std::string& name) const;
    bool hasPage(const std::string& name) const;
    std::vector<std::string> pageNames() const;

  private:
    std::map<std::string, PageFactory> pages_;
};

template <class Page>
struct PageRegistration {
    explicit PageRegistration(const char* name) {
        ClassRegistry::shared().registerPage(name, [] { return std::make_shared<Page>(); });
    }
};

// Registers a page class under its own name when the library that defines it loads.
#define REGISTER_PAGE_CLASS(Page) static const PageRegistration<Page> registration_of_##Page(#Page)
