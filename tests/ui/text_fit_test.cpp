// Every fixed text the three dialogs can show fits whole in its control,
// measured with the font the control really draws with against the room the
// toolkit's style leaves for text inside it. A verdict clipped to "Test Pass,
// multi-drop netw" is the fault this catches.
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>
#include <string>
#include <vector>

#include "platform_qt/dialog.h"
#include "tests/ui/gui_fixture.h"
#include "ui/about_dialog.h"
#include "ui/poll_dialog.h"
#include "ui/pv_dialog.h"

namespace {

// QLineEdit keeps this many pixels free on either side of its text, inside
// the style's contents rectangle (a constant of the toolkit, not a metric).
constexpr int kLineEditInnerMargin = 2;

struct Room {
  int width = 0;   // pixels the text may take
  int height = 0;  // pixels of line height available
  int needed = 0;  // pixels the text takes, with what the control adds to it
};

QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The text line of an edit box as QLineEdit lays it out: the style's contents
// rectangle, less the text margins and the inner margin. Shown from its start,
// a text is whole when its glyphs (their ink may reach past the advance) and
// the cursor fit the line.
Room EditRoom(const QLineEdit& edit, const QString& text) {
  QStyleOptionFrame opt;
  opt.initFrom(&edit);
  opt.rect = edit.contentsRect();
  opt.lineWidth =
      edit.hasFrame() ? edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &opt, &edit) : 0;
  opt.midLineWidth = 0;
  opt.state |= QStyle::State_Sunken;
  if (edit.isReadOnly()) opt.state |= QStyle::State_ReadOnly;
  opt.features = QStyleOptionFrame::None;
  const QRect r = edit.style()
                      ->subElementRect(QStyle::SE_LineEditContents, &opt, &edit)
                      .marginsRemoved(edit.textMargins());
  const QFontMetrics fm(edit.font());
  const int cursor = 1;
  const int ink = std::max(fm.horizontalAdvance(text), fm.boundingRect(text).right() + 1);
  return {r.width() - 2 * kLineEditInnerMargin, r.height(), ink + cursor};
}

Room LabelRoom(const QLabel& label, const QString& text) {
  const QFontMetrics fm(label.font());
  const QRect r = label.contentsRect();
  return {r.width(), r.height(), fm.horizontalAdvance(text)};
}

Room ButtonRoom(const QPushButton& button, const QString& text) {
  QStyleOptionButton opt;
  opt.initFrom(&button);
  opt.text = text;
  if (button.isDefault()) opt.features |= QStyleOptionButton::DefaultButton;
  const QRect r = button.style()->subElementRect(QStyle::SE_PushButtonContents, &opt, &button);
  const QFontMetrics fm(button.font());
  return {r.width(), r.height(), fm.horizontalAdvance(text)};
}

// Checks one text in one control; the message names both and the shortfall.
void ExpectFits(QWidget* control, const QString& text, const std::string& what) {
  ASSERT_NE(control, nullptr) << what;
  Room room;
  if (const auto* edit = qobject_cast<QLineEdit*>(control)) {
    room = EditRoom(*edit, text);
  } else if (const auto* label = qobject_cast<QLabel*>(control)) {
    room = LabelRoom(*label, text);
  } else if (const auto* button = qobject_cast<QPushButton*>(control)) {
    room = ButtonRoom(*button, text);
  } else {
    return;  // a group box without a title shows no text
  }
  const int lineHeight = QFontMetrics(control->font()).height();
  EXPECT_LE(room.needed, room.width) << what << " \"" << text.toStdString() << "\" needs "
                                     << room.needed << " px, has " << room.width << " px";
  EXPECT_LE(lineHeight, room.height) << what << " \"" << text.toStdString() << "\" is "
                                     << lineHeight << " px high, has " << room.height << " px";
}

// What the handlers put into the edit boxes, besides the controls' own texts.
struct Shown {
  int id;
  std::vector<std::string> texts;
};

void ExpectEveryTextFits(platform::CDialog& dialog, const std::vector<Shown>& shown) {
  ASSERT_TRUE(dialog.Create());
  const auto& controls = dialog.Template().controls;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    QWidget* control = dialog.ControlAt(i);
    // The dialogs are drawn in the face the package installs, not in
    // whatever the machine happens to substitute.
    EXPECT_EQ(QFontInfo(control->font()).family().toStdString(), "DejaVu Sans");
    if (controls[i].text[0] != '\0') {
      ExpectFits(control, QString::fromLatin1(controls[i].text),
                 "control " + std::to_string(i) + " (" + std::to_string(controls[i].id) + ")");
    }
  }
  for (const Shown& s : shown) {
    for (const std::string& text : s.texts) {
      ExpectFits(dialog.Control(s.id), Latin1(text), "box " + std::to_string(s.id));
    }
  }
}

TEST(DialogTextFit, PollDialogShowsEveryVerdictAndLabelWhole) {
  ui::PollDialog dialog;
  ExpectEveryTextFits(
      dialog, {{ui::kIdStatus,
                {"Click Poll to start", "Polling...", "Error opening COM port",
                 "Test Pass, single device", "Test Pass, multi-drop network", "Test Failed"}},
               {ui::kIdTag, {"Multi-Drop", " ", "@@@@@@@@"}},  // the widest 8-character tag
               {ui::kIdDeviceId, {"0", "16777215"}},           // the largest 24-bit identifier
               {ui::kIdAddresses, {"0", " ", "1, 2, 3, 4"}}});
}

TEST(DialogTextFit, AboutBoxShowsEveryLineWhole) {
  ui::AboutDialog dialog;
  ExpectEveryTextFits(dialog, {});
}

TEST(DialogTextFit, PvDialogShowsEveryFixedTextWhole) {
  ui::PvDialog dialog;
  ExpectEveryTextFits(dialog, {{ui::kIdPvValue, {"Error Test", "Complete", "-1234.567"}},
                               {ui::kIdLoopCurrent, {"20.000 mA", "-0.125 mA"}},
                               {ui::kIdCycles, {"0", "1000"}},
                               {ui::kIdCycle, {"1000"}},
                               {ui::kIdErrors, {"1000"}}});
}

}  // namespace
