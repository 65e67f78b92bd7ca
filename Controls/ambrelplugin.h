#pragma once

#include "ambrelinterface.h"

#include <QObject>

/// The library's one exported object: the host finds it by its interface name
/// and asks it for strips.
class AmbrelPlugin : public QObject, public AmbrelFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID AmbrelFactory_iid)
    Q_INTERFACES(AmbrelFactory)

public:
    using QObject::QObject;

    /// A new strip, shown with its parent; the parent owns it.
    AmbrelStrip *createStrip(QWidget *parent) override;
};

// Entry points of a self-registering control library, for hosts that look the
// control up by name rather than through the plugin loader.
extern "C" {
/// 0: nothing to register beyond the plugin's own metadata.
Q_DECL_EXPORT int DllRegisterServer();
/// 0: nothing was registered outside the library.
Q_DECL_EXPORT int DllUnregisterServer();
/// The AmbrelFactory (as void *) for its name AmbrelFactory_iid, otherwise nullptr.
Q_DECL_EXPORT void *DllGetClassObject(const char *name);
/// 0 when no strip of this library is alive, 1 otherwise.
Q_DECL_EXPORT int DllCanUnloadNow();
}
