// A Qt generic plugin that lets a script start the real travcard program,
// packaged or installed, and see how its start ended. Loaded into the program
// through QT_QPA_GENERIC_PLUGINS, it watches the windows being shown:
//   - a message box: prints "message: <text>" and answers OK, so the program
//     goes on as after an operator's click (and ends with its own status);
//   - any other window: prints "window shown: <title>" and ends the event
//     loop, so the program exits 0.

#include <QCoreApplication>
#include <QEvent>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QWidget>

#include <iostream>

namespace {

class WindowProbe : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Show || !watched->isWidgetType())
            return false;
        auto* const window = static_cast<QWidget*>(watched);
        if (!window->isWindow())
            return false;
        if (auto* const box = qobject_cast<QMessageBox*>(window)) {
            std::cout << "message: " << box->text().toStdString() << std::endl;
            QMetaObject::invokeMethod(box, &QDialog::accept, Qt::QueuedConnection);
        } else {
            std::cout << "window shown: " << window->windowTitle().toStdString() << std::endl;
            QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                                      Qt::QueuedConnection);
        }
        return false;
    }
};

}  // namespace

class WindowProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "window_probe.json")

public:
    // The application deletes what this returns, so the probe has no parent.
    QObject* create(const QString&, const QString&) override
    {
        auto* const probe = new WindowProbe;
        QCoreApplication::instance()->installEventFilter(probe);
        return probe;
    }
};

#include "window_probe.moc"
