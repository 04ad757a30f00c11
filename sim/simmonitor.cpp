#include "simmonitor.h"

#include <QHostAddress>
#include <QStringList>

namespace Sim {

QString SimMonitor::label() const
{
    return onNetwork() ? ip : QStringLiteral("ID %1").arg(id);
}

QByteArray fixedText(const QString &text, int length)
{
    QByteArray field = text.toLatin1().left(length);
    field.append(QByteArray(length - field.size(), ' '));
    return field;
}

QString shownText(const QByteArray &bytes)
{
    int end = bytes.size();
    while (end > 0 && bytes.at(end - 1) == '\0')
        --end;
    QString s;
    for (int i = 0; i < end; ++i) {
        const auto c = static_cast<unsigned char>(bytes.at(i));
        s.append(c >= 0x20 && c < 0x7F ? QChar(c) : QChar('.'));
    }
    return s;
}

namespace {
void zeroPadded(QByteArray *field)
{
    for (int i = static_cast<int>(field->size()); i > 0 && field->at(i - 1) == ' '; --i)
        (*field)[i - 1] = '\0';
}

ST_BasicData startingRecord(int screen, int key)
{
    ST_BasicData r;
    const int s = screen;
    r.set(Field::brightness, 40 + 10 * s + key % 5);
    r.set(Field::contrast, 50 + 3 * s);
    r.set(Field::saturation, 45 + 4 * s + key % 3);
    r.set(Field::tint, 50);
    r.set(Field::sharpness, 30 + 5 * s);
    r.set(Field::backLight, 80 - 7 * s);
    r.set(Field::colorTemp, 2);
    r.set(Field::source, s % 4);
    r.set(Field::mvSource1, 0);
    r.set(Field::mvSource2, 1);
    r.set(Field::mvSource3, 2);
    r.set(Field::mvSource4, 3);
    r.set(Field::markerColor, 4);
    r.set(Field::centerMarker, s & 1);
    r.set(Field::safetyMarker, 1);
    r.set(Field::markerThickness, 2);
    r.set(Field::volume, 60 - 5 * s);
    r.set(Field::levelMeter, 1);
    r.set(Field::audioRightOut, 1);
    r.set(Field::aspect, 1);
    r.set(Field::displayScan, 1);
    r.set(Field::umd1On, 1);
    r.set(Field::umd2Color, 1);
    r.set(Field::umd2On, 1);
    r.set(Field::umd3Color, 2);
    r.set(Field::umd4Color, 3);
    return r;
}
} // namespace

SimMonitor makeMonitor(int type, int id, const QString &ip, const QString &name)
{
    SimMonitor m;
    m.type = type;
    m.id = id;
    m.ip = ip;
    const int key = ip.isEmpty() ? id : ip.section(QLatin1Char('.'), 3, 3).toInt();
    const QString shownName = !name.isEmpty() ? name
        : ip.isEmpty()                        ? QStringLiteral("Monitor ID %1").arg(id)
                                              : QStringLiteral("Mon %1").arg(ip);
    m.name = fixedText(shownName, SettingsReply::NameLength);
    const int screens = MachineDevice::screenCountForType(type);
    for (int s = 0; s < screens; ++s) {
        Screen sc;
        sc.record = startingRecord(s, key);
        sc.inputText = fixedText(QStringLiteral("SDI%1 1080i50 S%2").arg(s % 4 + 1).arg(s + 1),
                                 SettingsReply::InputTextLength);
        for (int k = 0; k < UmdSlots; ++k)
            sc.umdText[static_cast<std::size_t>(k)] = fixedText(QStringLiteral("UMD%1 S%2").arg(k + 1).arg(s + 1),
                                                               kUmdTextLength);
        m.screens.append(sc);
    }
    return m;
}

bool parseMonitorDescription(const QString &description, QVector<SimMonitor> *out, QString *error)
{
    int type = 1, id = -1, count = 1;
    QString ip, name, input;
    bool zeroPad = false;
    const QStringList parts = description.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const int eq = part.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            *error = QStringLiteral("'%1' is not key=value").arg(part);
            return false;
        }
        const QString key = part.left(eq).trimmed().toLower();
        const QString value = part.mid(eq + 1);
        bool ok = true;
        if (key == QLatin1String("type"))
            type = value.toInt(&ok, 0);
        else if (key == QLatin1String("id"))
            id = value.toInt(&ok, 0);
        else if (key == QLatin1String("count"))
            count = value.toInt(&ok, 0);
        else if (key == QLatin1String("ip"))
            ip = value.trimmed();
        else if (key == QLatin1String("name"))
            name = value;
        else if (key == QLatin1String("input"))
            input = value;
        else if (key == QLatin1String("pad")) {
            if (value != QLatin1String("zero") && value != QLatin1String("blank")) {
                *error = QStringLiteral("pad is zero or blank");
                return false;
            }
            zeroPad = value == QLatin1String("zero");
        } else {
            *error = QStringLiteral("unknown key '%1'").arg(key);
            return false;
        }
        if (!ok) {
            *error = QStringLiteral("'%1' is not a number").arg(value);
            return false;
        }
    }
    if (type < 0 || type > 255) {
        *error = QStringLiteral("type must be 0-255");
        return false;
    }
    if (count < 1 || count > 4096) {
        *error = QStringLiteral("count must be 1-4096");
        return false;
    }
    quint32 firstAddr = 0;
    if (!ip.isEmpty()) {
        const QHostAddress a(ip);
        if (a.protocol() != QAbstractSocket::IPv4Protocol || ip.count(QLatin1Char('.')) != 3) {
            *error = QStringLiteral("'%1' is no IPv4 address").arg(ip);
            return false;
        }
        firstAddr = a.toIPv4Address();
        if (id < 0)
            id = 0;
        if (id > 254) {
            *error = QStringLiteral("id must be 0-254");
            return false;
        }
    } else {
        if (id < 0 || id + count - 1 > MaxSerialId) {
            *error = QStringLiteral("a serial monitor needs an id in 0-%1 (or give it an ip)").arg(MaxSerialId);
            return false;
        }
    }
    for (int n = 0; n < count; ++n) {
        const QString addr = ip.isEmpty() ? QString() : QHostAddress(firstAddr + static_cast<quint32>(n)).toString();
        SimMonitor m = makeMonitor(type, ip.isEmpty() ? id + n : id, addr, name);
        if (!input.isEmpty())
            for (Screen &s : m.screens)
                s.inputText = fixedText(input, SettingsReply::InputTextLength);
        if (zeroPad) {
            // As some monitors do: the text fields end in zero bytes, not blanks.
            zeroPadded(&m.name);
            for (Screen &s : m.screens)
                zeroPadded(&s.inputText);
        }
        out->append(m);
    }
    return true;
}

} // namespace Sim
