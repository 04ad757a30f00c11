#include "frames.h"

#include <algorithm>

namespace Frame {

std::uint8_t checksum(const char *bytes, int count)
{
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<unsigned char>(bytes[i]);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

QByteArray build(const Header &header, std::uint8_t command, const QByteArray &data)
{
    const int length = HeaderLength + data.size() + 2;
    QByteArray f(length, '\0');
    f[0] = static_cast<char>(Start);
    f[OffLength] = static_cast<char>(length & 0xFF);
    f[OffLength + 1] = static_cast<char>((length >> 8) & 0xFF);
    f[OffLink] = static_cast<char>(header.link);
    f[OffMask] = static_cast<char>(header.mask);
    f[OffType] = static_cast<char>(header.type);
    f[OffId] = static_cast<char>(header.id);
    f[OffCommand] = static_cast<char>(command);
    for (int i = 0; i < data.size(); ++i)
        f[OffData + i] = data.at(i);
    f[length - 2] = static_cast<char>(checksum(f.constData(), length - 2));
    f[length - 1] = static_cast<char>(End);
    return f;
}

QString shownText(const QString &field)
{
    int end = field.size();
    while (end > 0 && (field.at(end - 1) == QChar(u'\0') || field.at(end - 1).isSpace()))
        --end;
    return field.left(end).trimmed();
}

bool sendsAsWritten(const QString &label)
{
    return std::all_of(label.begin(), label.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7E; });
}

QByteArray packUmdText(const QString &text)
{
    QByteArray field(kUmdTextLength, '\0');
    const int n = qMin(text.size(), kUmdTextLength);
    for (int i = 0; i < n; ++i) {
        const ushort u = text.at(i).unicode();
        field[i] = static_cast<char>(u >= 0x20 && u <= 0x7E ? u : 0x20);
    }
    return field;
}

QByteArray settingCommand(int group, const Header &header, const ST_BasicData &record,
                          const QString &umdText, bool deviceType2)
{
    const GroupBytes *g = groupBytes(group);
    if (!g)
        return {};
    QByteArray data;
    for (std::int8_t b : g->bytes)
        if (b >= 0)
            data.append(static_cast<char>(record.byte(b)));
    if (g->carriesUmdText)
        data.append(packUmdText(umdText));
    if (deviceType2)
        for (std::int8_t b : g->type2Bytes)
            if (b >= 0)
                data.append(static_cast<char>(record.byte(b)));
    return build(header, g->command, data);
}

QByteArray readRequest(std::uint8_t link, std::uint8_t mask, std::uint8_t id)
{
    return build(Header{link, mask, AnyType, id}, CmdRead, {});
}

QByteArray searchRequest(std::uint8_t link, std::uint8_t id)
{
    return build(Header{link, 0, AnyType, id}, CmdSearch, {});
}

} // namespace Frame
