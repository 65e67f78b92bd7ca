#include "ambrelplugin.h"

#include "ambrel.h"

#include <QByteArrayView>

// Defined with the plugin metadata; it hands out the one instance that the
// plugin loader hands out too, so both ways in reach the same factory. Declared
// exported: a hidden reference would hide it from the loader as well.
extern "C" Q_DECL_EXPORT QObject *qt_plugin_instance();

namespace {

constexpr int ResultOk = 0;
constexpr int ResultFalse = 1;

} // namespace

AmbrelStrip *AmbrelPlugin::createStrip(QWidget *parent)
{
    auto *strip = new Ambrel(parent);
    // Children made after their window was shown stay hidden unless told;
    // a control placed on a window is visible with it.
    if (parent)
        strip->show();
    return strip;
}

int DllRegisterServer()
{
    return ResultOk;
}

int DllUnregisterServer()
{
    return ResultOk;
}

void *DllGetClassObject(const char *name)
{
    if (!name || QByteArrayView(name) != QByteArrayView(AmbrelFactory_iid))
        return nullptr;
    return qobject_cast<AmbrelFactory *>(qt_plugin_instance());
}

int DllCanUnloadNow()
{
    return Ambrel::instanceCount() == 0 ? ResultOk : ResultFalse;
}
