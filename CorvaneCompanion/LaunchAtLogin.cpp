#include "LaunchAtLogin.h"

#include "diagnostics/EventLog.h"

#include "LoginItemService.h"
#include "UserDefaults.h"

namespace corvane::LaunchAtLogin {

using platform::LoginItemService;

bool isOn(const platform::Bundle &bundle)
{
    return bundle.isApplication && LoginItemService::mainApp(bundle).status() == platform::loginItemEnabled;
}

void set(bool on, const platform::Bundle &bundle)
{
    if (!bundle.isApplication)
        return;
    const LoginItemService service = LoginItemService::mainApp(bundle);
    const std::optional<QString> error = on ? service.registerItem() : service.unregisterItem();
    if (error) {
        companionLog(QStringLiteral("login-item.fail"),
                     {{QStringLiteral("on"), yesNo(on)}, {QStringLiteral("error"), *error}});
        return;
    }
    companionLog(QStringLiteral("login-item.set"),
                 {{QStringLiteral("on"), yesNo(on)},
                  {QStringLiteral("status"), QString::number(LoginItemService::mainApp(bundle).status())}});
}

void enableOnFirstRun(const platform::Bundle &bundle)
{
    if (!bundle.isApplication || platform::UserDefaults::boolean(offeredKey))
        return;
    // Written before the attempt: a failed first registration is not retried.
    platform::UserDefaults::setBoolean(offeredKey, true);
    set(true, bundle);
}

} // namespace corvane::LaunchAtLogin
