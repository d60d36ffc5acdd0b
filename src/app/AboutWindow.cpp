#include "app/AboutWindow.h"

#include <QDesktopServices>
#include <QUrl>

#include <cstdio>

namespace ovra::tempix {

const char* const TEMPIX_VERSION_TEXT = TEMPIX_VERSION;
const char* const TEMPIX_WEB_PAGE = "https://www.quillfen.com/tempix/";

void openURL(const char* address)
{
    QUrl url(QString::fromLatin1(address), QUrl::StrictMode);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

bool AboutWindow::windowcreated()
{
    char text[256];
    std::snprintf(text, sizeof text, "Tempix v%s", TEMPIX_VERSION_TEXT);
    control(101).settext(text);
    return true;
}

bool AboutWindow::command(ovra::CommandID command)
{
    switch (command) {
    case ovra::fourcc("VWWW"):
        openURL(TEMPIX_WEB_PAGE);
        return true;
    case ovra::fourcc("abou"):
        return true;
    case ovra::fourcc("clos"):
        show(false);
        return true;
    default:
        return false;
    }
}

} // namespace ovra::tempix
