// Every control of the three dialogs sits at its template place, scaled
// from dialog units by the dialog font.
#include <QWidget>

#include "platform_qt/dialog.h"
#include "tests/ui/gui_fixture.h"
#include "ui/about_dialog.h"
#include "ui/poll_dialog.h"
#include "ui/pv_dialog.h"

namespace {

struct Expected {
  int id;
  int x, y, cx, cy;
};

void ExpectLayout(platform::CDialog& dialog, const std::vector<Expected>& table) {
  const platform::BaseUnits units = dialog.GetBaseUnits();
  ASSERT_GT(units.charWidth, 0);
  ASSERT_GT(units.charHeight, 0);
  const auto px = [](int du, int base, int div) {
    return static_cast<int>(std::lround(du * base / static_cast<double>(div)));
  };
  const auto& controls = dialog.Template().controls;
  ASSERT_EQ(controls.size(), table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("control " + std::to_string(i));
    EXPECT_EQ(controls[i].id, table[i].id);
    const QRect g = dialog.ControlAt(i)->geometry();
    EXPECT_EQ(g.x(), px(table[i].x, units.charWidth, 4));
    EXPECT_EQ(g.y(), px(table[i].y, units.charHeight, 8));
    EXPECT_EQ(g.width(), px(table[i].cx, units.charWidth, 4));
    EXPECT_EQ(g.height(), px(table[i].cy, units.charHeight, 8));
  }
}

constexpr int kNone = platform::kNoControlId;

TEST(DialogLayout, PollDialog) {
  ui::PollDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ExpectLayout(dialog, {{1000, 49, 85, 23, 14},
                        {1001, 36, 123, 86, 14},
                        {kNone, 9, 126, 24, 8},
                        {1002, 36, 25, 82, 14},
                        {kNone, 18, 27, 16, 8},
                        {1003, 36, 45, 82, 14},
                        {kNone, 23, 47, 11, 8},
                        {1004, 36, 64, 82, 14},
                        {kNone, 16, 66, 19, 8},
                        {1005, 82, 85, 16, 14},
                        {1006, 67, 103, 17, 14},
                        {kNone, 43, 11, 56, 10}});
  EXPECT_EQ(dialog.Template().cx, 139);
  EXPECT_EQ(dialog.Template().cy, 151);
  EXPECT_STREQ(dialog.Template().caption, "Veltrop");
}

TEST(DialogLayout, AboutDialog) {
  ui::AboutDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ExpectLayout(dialog, {{1, 45, 83, 19, 14},
                        {kNone, 17, 14, 77, 8},
                        {kNone, 29, 27, 50, 8},
                        {kNone, 18, 41, 70, 8},
                        {kNone, 18, 52, 64, 8},
                        {kNone, 18, 62, 66, 8},
                        {kNone, 7, 7, 99, 96}});
  EXPECT_STREQ(dialog.Template().caption, "About");
}

TEST(DialogLayout, PvDialog) {
  ui::PvDialog dialog;
  ASSERT_TRUE(dialog.Create());
  ExpectLayout(dialog, {{1, 52, 94, 17, 14},
                        {kNone, 14, 34, 12, 8},
                        {1007, 32, 31, 67, 14},
                        {kNone, 14, 53, 13, 8},
                        {1008, 32, 50, 67, 14},
                        {1002, 40, 13, 40, 12},
                        {1010, 23, 72, 33, 14},
                        {1011, 65, 72, 33, 14},
                        {1012, 14, 110, 25, 14},
                        {1013, 47, 110, 25, 14},
                        {1014, 80, 110, 25, 14}});
  EXPECT_STREQ(dialog.Template().caption, "PV");
}

}  // namespace
