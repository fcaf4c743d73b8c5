#include "workspace/orvantis.h"

// Handing a session to another agent. Until it is in place the button does
// nothing and transfer frames from the service are ignored.

void orvantis::onTransferClicked() { }

void orvantis::onAgentListReceived(const QVariantList &agents)
{
    Q_UNUSED(agents);
}

void orvantis::showTransferDialog(const QVariantList &agents)
{
    Q_UNUSED(agents);
}

void orvantis::onSessionTransferred(const QVariantMap &data)
{
    Q_UNUSED(data);
}
