#include "workspace/orvantis.h"

// The composer answers visitors over the realtime link. Until it is in place
// every operation is inert and nothing is ever sent from here.

void orvantis::setupComposer() { }

void orvantis::updateSendButtonState() { }

void orvantis::sendTextMessage() { }

bool orvantis::uploadImage(const QByteArray &data, const QString &fileName)
{
    Q_UNUSED(data);
    Q_UNUSED(fileName);
    return false;
}

void orvantis::onImageUploaded(const QString &url)
{
    Q_UNUSED(url);
}

void orvantis::sendImageMessage(const QString &url)
{
    Q_UNUSED(url);
}

void orvantis::updateSessionPreview(int sessionId, const QString &text)
{
    Q_UNUSED(sessionId);
    Q_UNUSED(text);
}
