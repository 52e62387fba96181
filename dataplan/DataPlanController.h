#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/foundation/Value.h"
#include "host/netpolicy/DataPlan.h"
#include "host/netpolicy/PlanPause.h"
#include "host/preferences/PSListController.h"

// The user's collector's usage database, which the bundle's pages read the cycle's figures, the
// applications and the limit's pause from.
std::string usageDatabasePath();

// The Data plan page: per network kind, the current cycle's dates and days left, used of the
// limit, the projection and the five applications that used most; then the rows that set the
// plan: its kind (none, monthly, a one-off pack) as a choice, a monthly plan's cycle day as a
// choice, and as typed text a pack's start and days, the warning, the limit and the carrier's
// figure for the correction; each is written through DataPlanStore.
//
// The page is built whole on every reload, from the stored plans and the usage database at the
// clock's now; nothing is cached between builds.
class DataPlanController : public PSListController {
  public:
    DataPlanController();

    const PSSpecifierList& specifiers() override;
    // A choice row's pick or a text row's text: makes the plan of the row's kind anew, checks
    // it, stores it and reloads. Text is read as `bytarn plan set` reads it ("none" clears a
    // level or the correction); text it refuses, or a plan that is not sound, is not stored, and
    // the sentence `bytarn plan set` gives is thrown for the front end's message.
    void setPreferenceValue(const Value& value, const std::shared_ptr<PSSpecifier>& row) override;
    // A tap on one of the applications that used most opens its page in the Bytarn bundle
    // (UIApplication::openSettingsPath "bytarn/ID"), for the period that page shows. A tap on
    // "Resume" ends the limit's pause of mobile data as `bytarn plan resume cellular` does
    // (PlanPause::resume) and reloads; a database it cannot write is thrown as the message.
    bool didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row, std::string* error) override;

    // What the last build could not read (a stored plan that is not sound, the database);
    // empty when all is well. The page shows it above the plans.
    const std::string& problem() const { return problem_; }

  private:
    struct KindSection {
        std::string kind;
        std::optional<DataPlan> plan;
        std::optional<PlanStatus> status;
        // Why the usage database could not be read; the figures then count nothing.
        std::string usageProblem;
    };
    KindSection readKind(std::string_view kind);
    void appendKind(PSSpecifierList& rows, const KindSection& section);
    // An editing row of the settings plist, for one kind, with the page's getter and setter.
    std::shared_ptr<PSSpecifier> editRow(const std::string& key, const KindSection& section);
    Value currentValue(const std::string& key, const std::string& kind);

    // The settings plist's editing rows by key ("period", "cycleDay", "start", "days",
    // "warning", "limit", "correction").
    std::vector<std::shared_ptr<PSSpecifier>> templates_;
    std::vector<KindSection> sections_;
    // The cellular limit's pause in effect at the last build.
    std::optional<PlanPause::Record> pause_;
    std::string problem_;
};
