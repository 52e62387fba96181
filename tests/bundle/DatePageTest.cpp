// The custom date page: the picker, "Confirm" and "Cancel".
#include "BundleFixture.h"
#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"
#include "pages/BytarnDateController.h"
#include "pages/BytarnDatePicker.h"

namespace {

class DatePage : public BundleTest {
  protected:
    std::shared_ptr<BytarnDateController> openDate(const std::string& rowName) {
        if (!page) openPage();
        if (!page->settingsVisible()) page->navigationItem().rightBarButtonItem()->press();
        tap(*page, rowName);
        date = std::dynamic_pointer_cast<BytarnDateController>(navigation->topViewController());
        return date;
    }
    std::string pickerDay() {
        return periodDateFormatter()->stringFromDate(date->datePicker()->date()).value_or("nil");
    }
    Value stored(const std::string& key) { return PreferenceStore::valueForKey("org.bytarn", key); }
    std::shared_ptr<BytarnDateController> date;
};

TEST_F(DatePage, OpensOnTheStoredDayAndConfirmStoresIt) {
    store("startDate", "2026-11-09");
    store("period", "This month");
    openDate("Start date");
    ASSERT_TRUE(date);
    ASSERT_TRUE(date->datePicker());
    EXPECT_EQ(date->datePicker()->date().timeIntervalSince1970,
              localInstant("2026-11-09T00:00:00"));
    EXPECT_EQ(date->datePicker()->datePickerMode(), UIDatePickerModeDate);
    EXPECT_TRUE(date->specifiers().empty());

    auto confirm = date->navigationItem().rightBarButtonItem();
    auto cancel = date->navigationItem().leftBarButtonItem();
    ASSERT_TRUE(confirm && cancel);
    EXPECT_EQ(confirm->title(), "Confirm");
    EXPECT_EQ(confirm->style(), UIBarButtonItemStyleDone);
    EXPECT_EQ(cancel->title(), "Cancel");
    EXPECT_EQ(cancel->style(), UIBarButtonItemStylePlain);

    page->table().takeUpdates();
    ASSERT_TRUE(confirm->press());
    EXPECT_EQ(navigation->topViewController(), page);
    EXPECT_EQ(stored("startDate"), Value("2026-11-09"));
    EXPECT_EQ(stored("period"), Value("Custom"));  // even though the day did not change
    EXPECT_EQ(page->period(), "Custom");
    int reloads = 0;
    for (const auto& u : page->table().takeUpdates())
        reloads += u.kind == UITableView::Update::Reload;
    EXPECT_EQ(reloads, 1);
}

TEST_F(DatePage, CancelStoresNothing) {
    store("endDate", "2026-11-09");
    openDate("End date");
    date->datePicker()->setDate({localInstant("2026-10-01T12:00:00")});
    ASSERT_TRUE(date->navigationItem().leftBarButtonItem()->press());
    EXPECT_EQ(navigation->topViewController(), page);
    EXPECT_EQ(stored("endDate"), Value("2026-11-09"));
    EXPECT_TRUE(stored("period").isNull());
    EXPECT_EQ(page->period(), "Today");
}

TEST_F(DatePage, StoresTheLocalDayWhateverTheTimeOfDay) {
    struct Case {
        const char* zone;
        const char* picked;
        const char* day;
    };
    const Case cases[] = {
        {"Europe/Berlin", "2026-11-20T23:30:00", "2026-11-20"},
        {"Europe/Berlin", "2026-11-20T00:00:01", "2026-11-20"},
        {"Pacific/Kiritimati", "2026-11-20T23:59:59", "2026-11-20"},
        {"America/New_York", "2026-03-08T03:30:00", "2026-03-08"},
    };
    for (const auto& c : cases) {
        Locale::setDefaultTimeZone(c.zone);
        page.reset();
        openDate("Start date");
        date->datePicker()->setDate({localInstant(c.picked)});
        date->navigationItem().rightBarButtonItem()->press();
        EXPECT_EQ(stored("startDate"), Value(c.day)) << c.zone << " " << c.picked;
    }
}

TEST_F(DatePage, BuiltOnceAndNeverReset) {
    openDate("Start date");
    auto picker = date->datePicker();
    picker->setDate({localInstant("2026-01-02T03:04:05")});
    store("startDate", "2026-05-05");
    date->specifiers();
    date->specifiers();
    EXPECT_EQ(date->datePicker(), picker);
    EXPECT_EQ(pickerDay(), "2026-01-02");
    EXPECT_EQ(date->view()->subviews().size(), 1u);
}

TEST_F(DatePage, NothingOrNoValidDayOpensOnToday) {
    for (const char* storedValue : {"", "0000-00-00", "2026-02-30", "tomorrow"}) {
        if (*storedValue) store("startDate", storedValue);
        page.reset();
        openDate("Start date");
        EXPECT_EQ(date->datePicker()->date().timeIntervalSince1970, Clock::now()) << storedValue;
    }
}

TEST_F(DatePage, ThePickerReplacesTheTableAndStaysCentred) {
    openDate("Start date");
    auto picker = date->datePicker();
    EXPECT_EQ(picker->superview(), date->view());
    EXPECT_EQ(date->table().superview(), nullptr);
    EXPECT_EQ(date->view()->backgroundColor(), UIColor::lightGrayColor());
    const CALayer& layer = picker->layer();
    EXPECT_FLOAT_EQ(layer.borderWidth, 1.0f);
    EXPECT_EQ(layer.borderColor, UIColor::blackColor());
    EXPECT_EQ(layer.shadowColor, UIColor::blackColor());
    EXPECT_FLOAT_EQ(layer.shadowOpacity, 1.0f);
    EXPECT_FLOAT_EQ(layer.shadowRadius, 7.0f);
    EXPECT_EQ(layer.shadowOffset, (CGSize{0, 4}));

    EXPECT_EQ(picker->frame(), CGRectMake(0, 0, 320, 216));
    picker->layoutSubviews();
    EXPECT_EQ(picker->center(), date->view()->center());
    EXPECT_EQ(picker->frame().size, (CGSize{320, 216}));
    picker->removeFromSuperview();
    picker->layoutSubviews();
    EXPECT_EQ(picker->center(), (CGPoint{0, 0}));
}

TEST_F(DatePage, RowWithoutSetterStoresNothing) {
    openPage();
    auto row = PSSpecifier::preferenceSpecifierNamed("Loose date", page, nullptr, nullptr,
                                                     "BytarnDateController", PSLinkCell);
    std::string error;
    ASSERT_TRUE(page->didSelectSpecifier(row, &error)) << error;
    auto loose = std::dynamic_pointer_cast<BytarnDateController>(navigation->topViewController());
    ASSERT_TRUE(loose);
    loose->navigationItem().rightBarButtonItem()->press();
    EXPECT_EQ(navigation->topViewController(), page);
    EXPECT_TRUE(PreferenceStore::allValues("org.bytarn").empty());
}

}  // namespace
