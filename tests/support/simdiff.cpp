#include "simdiff.h"

using namespace Sim;

QStringList monitorDifferences(const QVector<SimMonitor> &was, const QVector<SimMonitor> &is, bool withTexts)
{
    QStringList d;
    for (int i = 0; i < was.size() && i < is.size(); ++i) {
        if (was[i].name != is[i].name)
            d << was[i].label() + QStringLiteral(": name");
        for (int s = 0; s < was[i].screenCount() && s < is[i].screenCount(); ++s) {
            const Screen &a = was[i].screens[s], &b = is[i].screens[s];
            for (int k = 0; k < ST_BasicData::Size; ++k)
                if (a.record.byte(k) != b.record.byte(k))
                    d << QStringLiteral("%1 screen %2 byte %3: 0x%4 -> 0x%5")
                             .arg(was[i].label())
                             .arg(s + 1)
                             .arg(k)
                             .arg(a.record.byte(k), 2, 16, QLatin1Char('0'))
                             .arg(b.record.byte(k), 2, 16, QLatin1Char('0'));
            for (int u = 0; withTexts && u < UmdSlots; ++u)
                if (a.umdText[u] != b.umdText[u])
                    d << QStringLiteral("%1 screen %2 UMD %3 text '%4' -> '%5'")
                             .arg(was[i].label())
                             .arg(s + 1)
                             .arg(u + 1)
                             .arg(shownText(a.umdText[u]), shownText(b.umdText[u]));
        }
    }
    return d;
}
