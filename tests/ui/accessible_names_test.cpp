// What a screen reader announces for each control of the three dialogs: the
// edit boxes by their labels, the "?" button as About, the PV dialog's three
// unlabelled number boxes by what they count. What is drawn stays as it was.
#include <QAccessible>
#include <QLabel>
#include <string>
#include <utility>
#include <vector>

#include "platform_qt/dialog.h"
#include "tests/ui/gui_fixture.h"
#include "ui/about_dialog.h"
#include "ui/poll_dialog.h"
#include "ui/pv_dialog.h"

namespace {

using Names = std::vector<std::pair<int, std::string>>;

// The accessible name of every control the operator can reach, in template
// order, as the toolkit's accessibility layer reports it.
Names AccessibleNames(platform::CDialog& dialog) {
  Names names;
  const auto& controls = dialog.Template().controls;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    if (controls[i].kind == platform::ControlKind::Label ||
        controls[i].kind == platform::ControlKind::GroupBox) {
      continue;
    }
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(dialog.ControlAt(i));
    names.emplace_back(controls[i].id, accessible == nullptr
                                           ? "<none>"
                                           : accessible->text(QAccessible::Name).toStdString());
  }
  return names;
}

// The label a screen reader reports as naming control `id`.
std::string LabelledBy(platform::CDialog& dialog, int id) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(dialog.Control(id));
  if (accessible == nullptr) return "<none>";
  for (const auto& [other, relation] : accessible->relations(QAccessible::Label)) {
    if (auto* label = qobject_cast<QLabel*>(other->object())) return label->text().toStdString();
  }
  return "";
}

TEST(AccessibleNames, PollDialogBoxesAreNamedByTheirLabelsAndTheQuestionMarkIsAbout) {
  ui::PollDialog dialog;
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(AccessibleNames(dialog), (Names{{ui::kIdPoll, "Poll"},
                                            {ui::kIdStatus, "Status"},
                                            {ui::kIdTag, "Tag"},
                                            {ui::kIdDeviceId, "ID"},
                                            {ui::kIdAddresses, "Addr"},
                                            {ui::kIdAbout, "About"},
                                            {ui::kIdPv, "PV"}}));
  EXPECT_EQ(LabelledBy(dialog, ui::kIdStatus), "Status:");
  EXPECT_EQ(LabelledBy(dialog, ui::kIdAddresses), "Addr:");
  EXPECT_EQ(dialog.GetDlgItemText(ui::kIdAbout), "?") << "the button still shows \"?\"";
}

TEST(AccessibleNames, AboutBoxOkButtonIsNamed) {
  ui::AboutDialog dialog;
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(AccessibleNames(dialog), (Names{{ui::kIdOk, "OK"}}));
}

TEST(AccessibleNames, PvDialogNamesItsLabelledAndItsUnlabelledBoxes) {
  ui::PvDialog dialog;
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(AccessibleNames(dialog), (Names{{ui::kIdOk, "OK"},
                                            {ui::kIdPvValue, "PV"},
                                            {ui::kIdLoopCurrent, "AO"},
                                            {ui::kIdTag, "Tag"},
                                            {ui::kIdStart, "Start"},
                                            {ui::kIdStop, "Stop"},
                                            {ui::kIdCycles, "Cycles"},
                                            {ui::kIdCycle, "Cycle"},
                                            {ui::kIdErrors, "Errors"}}));
  EXPECT_EQ(LabelledBy(dialog, ui::kIdLoopCurrent), "AO:");
  // The three number boxes have no label drawn beside them, and get none.
  EXPECT_EQ(LabelledBy(dialog, ui::kIdCycles), "");
}

}  // namespace
