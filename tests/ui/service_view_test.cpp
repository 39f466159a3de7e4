#include "ui/poll_dialog.h"

#include "tests/ui/gui_fixture.h"

namespace {

using ui::PollDialog;

class ServiceViewTest : public uitest::GuiTest {};

// The PV button is still created hidden; the service view shows it
// afterwards. Nothing else moves: the focus is still on Poll. (A click
// through X on the shown button is in the end-to-end run.)
TEST_F(ServiceViewTest, ShowsThePvButtonAndLeavesTheFocusOnPoll) {
  PollDialog dialog;
  dialog.serviceView = true;
  ASSERT_TRUE(dialog.Create());
  EXPECT_TRUE(dialog.IsControlVisible(ui::kIdPv));
  EXPECT_TRUE(dialog.HasFocus(ui::kIdPoll));
}

}  // namespace
