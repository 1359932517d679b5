#include "core/info_plist.h"

#include <QFile>
#include <QXmlStreamReader>

namespace KCore {

namespace {

std::map<std::string, std::string> readTopDictionary(QXmlStreamReader &xml)
{
    std::map<std::string, std::string> values;
    std::string key;
    bool haveKey = false;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("key")) {
            key = xml.readElementText().toStdString();
            haveKey = true;
        } else if (xml.name() == QLatin1String("string")) {
            QString text = xml.readElementText();
            if (haveKey)
                values[key] = text.toStdString();
            haveKey = false;
        } else {
            xml.skipCurrentElement();
            haveKey = false;
        }
    }
    return values;
}

} // namespace

std::map<std::string, std::string> parseInfoPlist(std::string_view text)
{
    QXmlStreamReader xml(QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size())));
    std::map<std::string, std::string> values;
    if (xml.readNextStartElement() && xml.name() == QLatin1String("plist")) {
        if (xml.readNextStartElement() && xml.name() == QLatin1String("dict"))
            values = readTopDictionary(xml);
    }
    // Anything left must still be well formed: a broken file counts as none.
    while (!xml.atEnd() && !xml.hasError())
        xml.readNext();
    if (xml.hasError())
        return {};
    return values;
}

std::map<std::string, std::string> readInfoPlist(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    return parseInfoPlist(std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
}

} // namespace KCore
