#include "command_line/command_line.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <QStringList>
#include <algorithm>

namespace platform {

namespace {

// Qt's documented options (QGuiApplication, QApplication, the X11 platform).
// They are declared only so that the parser knows which of them take a
// value and does not call them unknown; QApplication takes them off the
// line itself. A single dash is Qt's habit, two are accepted as well.
struct QtOption {
  const char* name;
  bool hasValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},      {"platformpluginpath", true},
    {"platformtheme", true}, {"plugin", true},
    {"qmljsdebugger", true}, {"qwindowgeometry", true},
    {"qwindowicon", true},   {"qwindowtitle", true},
    {"session", true},       {"display", true},
    {"geometry", true},      {"style", true},
    {"stylesheet", true},    {"reverse", false},
    {"widgetcount", false},  {"nograb", false},
    {"dograb", false},
};

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Qt's parser words its errors its own way ("Unknown option 'bogus'.");
// the program says them as getopt_long does, like every other command on
// the system and like hartsim beside it.
std::string GnuError(const QCommandLineParser& parser, const QStringList& arguments) {
  const QStringList unknown = parser.unknownOptionNames();
  if (!unknown.isEmpty()) {
    // As it was written: "--bogus", "-x", "--bogus=1".
    for (const QString& a : arguments.mid(1)) {
      if (a.startsWith('-') &&
          a.section('=', 0, 0).remove(QRegularExpression("^-+")) == unknown.first()) {
        return "unrecognized option '" + a.section('=', 0, 0).toStdString() + "'";
      }
    }
    return "unrecognized option '--" + unknown.first().toStdString() + "'";
  }
  const QString text = parser.errorText();
  const qsizetype open = text.indexOf('\''), close = text.lastIndexOf('\'');
  if (text.startsWith("Missing value") && open >= 0 && close > open) {
    return "option '" + text.mid(open + 1, close - open - 1).toStdString() +
           "' requires an argument";
  }
  if (text.startsWith("Unexpected value") && open >= 0 && close > open) {
    return "option '" + text.mid(open + 1, close - open - 1).section('=', 0, 0).toStdString() +
           "' doesn't allow an argument";
  }
  return text.toStdString();
}

}  // namespace

bool CommandLine::IsSet(std::string_view name) const {
  return std::any_of(values_.begin(), values_.end(),
                     [&](const auto& v) { return v.first == name; });
}

std::string CommandLine::Value(std::string_view name) const {
  for (auto it = values_.rbegin(); it != values_.rend(); ++it) {
    if (it->first == name) return it->second;
  }
  return {};
}

void CommandLine::Set(std::string name, std::string value) {
  values_.emplace_back(std::move(name), std::move(value));
}

ParsedCommandLine ParseCommandLine(int argc, const char* const* argv,
                                   const std::vector<CommandLineOption>& options) {
  QCommandLineParser parser;
  // "-platform xcb" is one option named "platform", as Qt reads it, not
  // the letters p, l, a, ...
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  parser.addOption(QCommandLineOption(QStringList{"h", "help"}));
  parser.addOption(QCommandLineOption("version"));
  for (const auto& o : options) {
    parser.addOption(o.valueName.empty() ? QCommandLineOption(Q(o.name))
                                         : QCommandLineOption(Q(o.name), {}, Q(o.valueName)));
  }
  for (const auto& q : kQtOptions) {
    parser.addOption(q.hasValue ? QCommandLineOption(q.name, {}, "value")
                                : QCommandLineOption(q.name));
  }

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  if (arguments.isEmpty()) arguments << QString();

  ParsedCommandLine parsed;
  if (!parser.parse(arguments)) {
    parsed.action = CommandLineAction::Error;
    parsed.error = GnuError(parser, arguments);
    return parsed;
  }
  if (!parser.positionalArguments().isEmpty()) {
    parsed.action = CommandLineAction::Error;
    parsed.error =
        "unexpected argument '" + parser.positionalArguments().first().toStdString() + "'";
    return parsed;
  }
  if (parser.isSet("help")) {
    parsed.action = CommandLineAction::Help;
    return parsed;
  }
  if (parser.isSet("version")) {
    parsed.action = CommandLineAction::Version;
    return parsed;
  }
  auto take = [&](const std::string& name, bool hasValue) {
    if (!parser.isSet(Q(name))) return;
    parsed.given.Set(name, hasValue ? parser.value(Q(name)).toStdString() : std::string());
  };
  for (const auto& o : options) take(o.name, !o.valueName.empty());
  for (const auto& q : kQtOptions) take(q.name, q.hasValue);
  return parsed;
}

std::string UsageText(std::string_view program, std::string_view summary,
                      const std::vector<CommandLineOption>& options) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& o : options) {
    rows.emplace_back("--" + o.name + (o.valueName.empty() ? "" : " " + o.valueName),
                      o.description);
  }
  rows.emplace_back("-h, --help", "show this help and exit");
  rows.emplace_back("--version", "show the version and exit");
  std::size_t width = 0;
  for (const auto& r : rows) width = std::max(width, r.first.size());

  std::string text =
      "Usage: " + std::string(program) + " [OPTION]...\n" + std::string(summary) + "\n\nOptions:\n";
  for (const auto& r : rows) {
    text += "  " + r.first + std::string(width + 2 - r.first.size(), ' ') + r.second + "\n";
  }
  text +=
      "\nQt's own options, such as -platform NAME and -display DISPLAY, are passed to\n"
      "the toolkit.\n";
  return text;
}

}  // namespace platform
