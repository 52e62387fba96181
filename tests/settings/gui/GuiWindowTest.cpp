#include "settings/gui/GuiWindow.h"

#include "GuiFixture.h"

namespace {

TEST_F(GuiTest, SharedSteps) {
    for (const FrontEndStep& step : frontEndSteps()) {
        SCOPED_TRACE(std::string(step.what) + ": " + step.actions);
        driver.reset();
        app = world.start();
        driver = std::make_unique<GuiDriver>(*app);
        performSteps(*driver, step.actions);
        expectShown(step, driver->shown());
    }
}

}  // namespace
