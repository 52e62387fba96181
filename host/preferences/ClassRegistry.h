#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class PSSpecifier;
class PSTableCell;
class PSViewController;

// Resolves the class names that plists, rows and Info.plist give to page and cell classes.
// Bundles register their classes when they load.
class ClassRegistry {
  public:
    using PageFactory = std::function<std::shared_ptr<PSViewController>()>;
    using CellFactory =
        std::function<std::shared_ptr<PSTableCell>(const std::shared_ptr<PSSpecifier>& row)>;

    static ClassRegistry& shared();

    void registerPage(const std::string& name, PageFactory factory);
    // A new page of that class, or nothing when no such class is registered.
    std::shared_ptr<PSViewController> createPage(const std::string& name) const;
    bool hasPage(const std::string& name) const;
    std::vector<std::string> pageNames() const;

    void registerCell(const std::string& name, CellFactory factory);
    // A new cell of that class for the row, or nothing when no such class is registered.
    std::shared_ptr<PSTableCell> createCell(const std::string& name,
                                            const std::shared_ptr<PSSpecifier>& row) const;

  private:
    std::map<std::string, PageFactory> pages_;
    std::map<std::string, CellFactory> cells_;
};

template <class Page>
struct PageRegistration {
    explicit PageRegistration(const char* name) {
        ClassRegistry::shared().registerPage(name, [] { return std::make_shared<Page>(); });
    }
};

template <class Cell>
struct CellRegistration {
    explicit CellRegistration(const char* name) {
        ClassRegistry::shared().registerCell(name, [](const std::shared_ptr<PSSpecifier>& row) {
            return std::make_shared<Cell>(row);
        });
    }
};

// Registers a page or cell class under its own name when the library that defines it loads.
#define REGISTER_PAGE_CLASS(Page) static const PageRegistration<Page> registration_of_##Page(#Page)
#define REGISTER_CELL_CLASS(Cell) static const CellRegistration<Cell> registration_of_##Cell(#Cell)
