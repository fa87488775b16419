#include "app/commandline.h"

#include "app/productstrings.h"

#include <QCommandLineParser>

namespace {

// The toolkit's own options, taken by the application object: accepted here, not shown.
const char *const toolkitOptionsWithValue[] = { "platform", "platformpluginpath", "platformtheme",
    "plugin", "qmljsdebugger", "qwindowgeometry", "qwindowicon", "qwindowtitle", "session",
    "display", "geometry", "style", "stylesheet", "name", "title" };
const char *const toolkitFlags[] = { "reverse", "widgetcount", "nograb", "dograb", "sync" };

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // As the toolkit spells its own: "-platform offscreen", one dash, a whole word.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Vela Hearth serves your video, audio and picture libraries to TV media players on "
        "the home network (TCP and UDP port 8000)."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption config(QStringLiteral("config"),
        QStringLiteral("Use <file> as the configuration instead of the usual hearth.xml."),
        QStringLiteral("file"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
        QStringLiteral("Write one line per discovery answer and per request to standard "
                       "error."));
    parser.addOption(config);
    parser.addOption(verbose);
    for (const char *name : toolkitOptionsWithValue) {
        QCommandLineOption option(QLatin1String(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : toolkitFlags) {
        QCommandLineOption option { QLatin1String(name) };
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    // Without an application object the parser cannot name the program itself.
    const QString usage
        = parser.helpText().replace(QLatin1String("<executable_name>"), QStringLiteral("hearth"));

    CommandLine result;
    if (!parser.parse(arguments)) {
        result.action = CommandLine::Refuse;
        result.text = parser.errorText() + QLatin1String("\n\n") + usage;
    } else if (parser.isSet(config) && parser.value(config).isEmpty()) {
        result.action = CommandLine::Refuse;
        result.text = QStringLiteral("--config needs a file.\n\n") + usage;
    } else if (!parser.positionalArguments().isEmpty()) {
        result.action = CommandLine::Refuse;
        result.text = QStringLiteral("Unexpected argument '%1'.\n\n")
                          .arg(parser.positionalArguments().constFirst())
            + usage;
    } else if (parser.isSet(help)) {
        result.action = CommandLine::ShowHelp;
        result.text = usage;
    } else if (parser.isSet(QStringLiteral("help-all"))) {
        result.action = CommandLine::ShowHelp;
        QStringList names;
        for (const char *name : toolkitOptionsWithValue)
            names.append(QLatin1Char('-') + QLatin1String(name) + QLatin1String(" <value>"));
        for (const char *name : toolkitFlags)
            names.append(QLatin1Char('-') + QLatin1String(name));
        result.text = usage
            + QLatin1String("\nQt options, passed to the toolkit (-platform "
                            "offscreen runs without a display):\n  ")
            + names.join(QLatin1String("\n  ")) + QLatin1Char('\n');
    } else if (parser.isSet(version)) {
        result.action = CommandLine::ShowVersion;
        result.text = applicationTitle() + QLatin1Char('\n');
    } else {
        result.configFile = parser.value(config);
        result.verbose = parser.isSet(verbose);
    }
    return result;
}
