#include "Commands.h"
#include "OptionCheck.h"

#include <OstKavexMixer/OstKavexMixer.h>

#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {
const int kPublicKeyBytes = 32;

bool writeFile(const QString& path, const QByteArray& bytes, QFile::Permissions permissions)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        QTextStream(stderr) << "kavexmix: cannot write " << path << "\n";
        return false;
    }
    f.setPermissions(permissions);
    return true;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << "kavexmix: cannot read " << path << "\n";
        return QByteArray();
    }
    return f.readAll();
}
}  // namespace

int runKeygen(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Writes a key pair for encrypted streams: NAME.key (the 32-byte private key, "
                                     "for listen --key and the host's key list) and NAME.pub (the 32-byte public "
                                     "key, for encrypt).");
    parser.addPositionalArgument("NAME", "Path of the key files without their endings.");
    if (!parseCommandLine(parser, "keygen", args, true))
        return parser.isSet("help") ? 0 : 2;
    if (parser.positionalArguments().size() != 1) {
        QTextStream(stderr) << "kavexmix keygen: name the key files\n";
        return 2;
    }
    const QString name = parser.positionalArguments().first();
    QByteArray secret, pub;
    StreamUnitDecrypter::generateKeyPair(secret, pub);
    if (!writeFile(name + ".key", secret, QFile::ReadOwner | QFile::WriteOwner) ||
        !writeFile(name + ".pub", pub, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther))
        return 1;
    QTextStream(stdout) << "Wrote " << name << ".key and " << name << ".pub\n";
    return 0;
}

int runEncrypt(const QStringList& args)
{
    QCommandLineParser parser;
    parser.setApplicationDescription("Wraps the bytes of a file in one encryption layer for the holder of a key.");
    parser.addPositionalArgument("IN", "The file to encrypt.");
    parser.addPositionalArgument("OUT", "Where the layer is written.");
    parser.addOption({"public-key", "The receiver's public key (NAME.pub from keygen).", "FILE"});
    if (!parseCommandLine(parser, "encrypt", args, true))
        return parser.isSet("help") ? 0 : 2;
    if (parser.positionalArguments().size() != 2 || !parser.isSet("public-key")) {
        QTextStream(stderr) << "kavexmix encrypt: IN, OUT and --public-key are needed\n";
        return 2;
    }
    if (!OptionCheck(parser, "encrypt").readableFiles("public-key"))
        return 2;
    if (!QFileInfo(parser.positionalArguments().at(0)).isReadable()) {
        QTextStream(stderr) << "kavexmix encrypt: cannot read IN '" << parser.positionalArguments().at(0) << "'\n";
        return 2;
    }
    const QByteArray pub = readFile(parser.value("public-key"));
    if (pub.size() != kPublicKeyBytes) {
        OptionCheck(parser, "encrypt")
            .fail("public-key", QString("not a public key (%1 bytes); give NAME.pub from "
                                        "kavexmix keygen (%2 bytes)")
                                    .arg(pub.size())
                                    .arg(kPublicKeyBytes));
        return 2;
    }
    const QByteArray plain = readFile(parser.positionalArguments().at(0));
    const QByteArray layer = StreamUnitDecrypter::encrypt(plain, pub);
    if (layer.isEmpty())
        return 1;
    return writeFile(parser.positionalArguments().at(1), layer, QFile::ReadOwner | QFile::WriteOwner) ? 0 : 1;
}
