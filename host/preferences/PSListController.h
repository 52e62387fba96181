#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/foundation/Value.h"
#include "host/preferences/PSSpecifier.h"
#include "host/preferences/PSViewController.h"
#include "host/ui/UIKit.h"

// A page whose content is a list of rows (specifiers), shown as a grouped table: each group row
// opens a section, and the rows after it, up to the next group, are that section's rows.
class PSListController : public PSViewController {
  public:
    PSListController();
    ~PSListController() override = default;

    // The page's rows in display order. The host calls it when the page is shown and after every
    // reloadSpecifiers. The base returns the current list, or an empty one.
    virtual const PSSpecifierList& specifiers();

    // A shown page has its rows.
    void viewWillAppear(bool animated) override;

    // Drops the list, asks specifiers() again and redisplays the table.
    virtual void reloadSpecifiers();

    // Editing the shown list; each records its change in the table.
    void insertSpecifier(const std::shared_ptr<PSSpecifier>& row, int index, bool animated);
    void insertContiguousSpecifiers(const PSSpecifierList& rows, int index, bool animated);
    void removeSpecifierAtIndex(int index, bool animated);
    // Removes the given row objects (matched by identity, not by value) wherever they are.
    void removeContiguousSpecifiers(const PSSpecifierList& rows, bool animated);

    // The list index of the group row that opens section N, or -1 when there is no such section.
    // Row r of section N is at indexOfGroup(N) + r + 1.
    int indexOfGroup(int section) const;
    int numberOfGroups() const;
    // The table position of a list index (the inverse of the rule above); nothing for a group
    // row or an index out of range.
    std::optional<NSIndexPath> indexPathForIndex(int index) const;
    // The list index of a row object, or -1.
    int indexOfSpecifier(const std::shared_ptr<PSSpecifier>& row) const;
    // The row at a list index, or nothing when out of range.
    std::shared_ptr<PSSpecifier> specifierAtIndex(int index) const;

    // The rows of the "items" array of the bundle's plist resource <name>.plist, in order, each
    // with the given target, its "key", and the stored value as getter and setter.
    PSSpecifierList loadSpecifiersFromPlistName(const std::string& name,
                                                const std::shared_ptr<PSListController>& target);

    // The value stored under the row's "key" in the row's "defaults" domain, else the row's
    // "default" property, else nil.
    virtual Value readPreferenceValue(const PSSpecifier& row);
    // Stores the value under the row's "key" in its "defaults" domain.
    virtual void setPreferenceValue(const Value& value, const std::shared_ptr<PSSpecifier>& row);

    UITableView& table() { return *table_; }

    // The table's questions about editing: the style a row offers, and carrying one out.
    virtual UITableViewCellEditingStyle tableView(UITableView& table, NSIndexPath indexPath);
    virtual void tableView(UITableView& table, UITableViewCellEditingStyle style,
                           NSIndexPath indexPath);

    // A tap on a row. A row with a detail class opens that page: the host creates it, sets its
    // specifier to the row and its parent to this page, and pushes it. Returns false, with the
    // reason, when nothing could be opened.
    virtual bool didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row, std::string* error);

  protected:
    // The table fills the page's view.
    void loadView() override;

    // The list itself; nothing until built.
    std::optional<PSSpecifierList> _specifiers;

  private:
    std::shared_ptr<UITableView> table_;
};
