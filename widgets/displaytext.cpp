#include "widgets/displaytext.h"

namespace DisplayText {

QString firstLetterUpper(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("?");
    const int length
        = (text.size() > 1 && text.at(0).isHighSurrogate() && text.at(1).isLowSurrogate()) ? 2 : 1;
    return text.left(length).toUpper();
}

QString sessionCountHtml(int count)
{
    return QStringLiteral("<span style='font-size:12px;color:#8b93a5;'>%1个会话</span>").arg(count);
}

QString linkStateHtml(bool online)
{
    return online ? QStringLiteral("<span style='font-size:13px;color:#22c55e;'>● 在线</span>")
                  : QStringLiteral("<span style='font-size:13px;color:#8b93a5;'>● 离线</span>");
}

} // namespace DisplayText
