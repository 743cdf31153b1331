#include "Commands.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QTextStream>

int runDevices(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Lists the sound outputs and inputs by the names --output, --input and the "
                                     "settings keys Mixer/OutputDevice and Mixer/InputDevice accept.");
    if (!parseCommandLine(parser, "devices", args))
        return parser.isSet("help") ? 0 : 2;
    QTextStream out(stdout);
    const auto list = [&](const char* title, const QStringList& names, bool hasDefault) {
        out << title << (hasDefault ? "" : " (no default device)") << ":\n";
        for (const QString& n : names)
            out << "  " << n << "\n";
        out << "  auto\n  virtual\n  wav:PATH\n";
    };
    list("Outputs", SoundDevices::outputs(), SoundDevices::hasDefaultOutput());
    list("Inputs", SoundDevices::inputs(), SoundDevices::hasDefaultInput());
    return 0;
}
