#include "ui/accessibility_dialog.h"

#include "core/app.h"
#include "core/bundle_info.h"
#include "core/startup.h"
#include "core/timer.h"
#include "ui/limitation_alert.h"

#include <QAbstractButton>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QUiLoader>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

namespace KUI {

namespace {

const char *const kPlaceholder = "{{APPNAME}}";
// Only when the bundle names nothing: the texts must still read.
const char *const kFallbackName = "Tessaron Helper";

// The built-in window's texts, the same as Accessibility.ui's (a test
// compares the two).
const char *const kTitle = "{{APPNAME}} needs input access";
const char *const kHeading = "{{APPNAME}} cannot move the pointer yet";
const char *const kExplanation =
    "{{APPNAME}} moves the mouse pointer for its main app, which runs in a sandbox and may not do "
    "that itself. To move the pointer, {{APPNAME}} needs the input emulation extension of this X "
    "display (XTEST), and right now it cannot use it.";
const char *const kStepsTitle = "What to do";
const char *const kSteps =
    "1. Start {{APPNAME}} from your desktop session, so that it runs on the X display you work on.\n"
    "2. Make sure that display offers XTEST. X servers do by default; it is missing when the server "
    "was started with \"-extension XTEST\" or a security policy turns it off.\n"
    "3. Keep this window open. It checks every second and closes by itself as soon as {{APPNAME}} "
    "can move the pointer.";
const char *const kNote = "Closing this window quits {{APPNAME}}.";
const char *const kSettingsTitle = "How to Give {{APPNAME}} Input Access…";
const char *const kWebsiteTitle = "Open the Website";
const char *const kFAQTitle = "Read the FAQ";

const char *const kSettingsButton = "openSettingsButton";
const char *const kWebsiteButton = "openWebsiteButton";
const char *const kFAQButton = "openFAQButton";

std::string applicationName()
{
    std::string name = KCore::mainBundleInfoValue("CFBundleDisplayName");
    if (name.empty())
        name = KCore::mainBundleInfoValue("CFBundleName");
    if (name.empty())
        name = kFallbackName;
    return name;
}

std::string resourcesPath()
{
    std::string bundle = KCore::mainBundlePath();
    return bundle.empty() ? std::string() : bundle + "/Contents/Resources";
}

void openLink(const std::string &url)
{
    if (KCore::App *app = KCore::App::instance())
        app->openURL(url);
}

QLabel *addLabel(QLayout *layout, const char *name, const char *text)
{
    auto *label = new QLabel(QString::fromUtf8(text));
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    layout->addWidget(label);
    return label;
}

QPushButton *addButton(QBoxLayout *layout, const char *name, const char *text)
{
    auto *button = new QPushButton(QString::fromUtf8(text));
    button->setObjectName(QLatin1String(name));
    layout->addWidget(button);
    return button;
}

// The same window as Accessibility.ui, for when that file cannot be used.
QWidget *builtInWindow(const std::string &resources)
{
    auto *window = new QWidget;
    window->setObjectName(QStringLiteral("AccessibilityWindow"));
    window->setWindowTitle(QString::fromUtf8(kTitle));
    // No fixed minimum: the layout's own keeps every button readable.
    window->resize(640, 380);
    auto *main = new QHBoxLayout(window);
    main->setSpacing(18);
    main->setContentsMargins(20, 20, 20, 16);

    auto *iconColumn = new QVBoxLayout;
    auto *icon = new QLabel;
    icon->setObjectName(QStringLiteral("iconLabel"));
    icon->setFixedSize(64, 64);
    icon->setScaledContents(true);
    if (!resources.empty())
        icon->setPixmap(QPixmap(QString::fromStdString(resources + "/AppIcon.icns")));
    iconColumn->addWidget(icon);
    iconColumn->addStretch();
    main->addLayout(iconColumn);

    auto *text = new QVBoxLayout;
    text->setSpacing(12);
    QLabel *heading = addLabel(text, "headingLabel", kHeading);
    QFont font = heading->font();
    font.setPointSize(13);
    font.setBold(true);
    heading->setFont(font);
    addLabel(text, "explanationLabel", kExplanation);
    auto *steps = new QGroupBox(QString::fromUtf8(kStepsTitle));
    steps->setObjectName(QStringLiteral("stepsBox"));
    addLabel(new QVBoxLayout(steps), "stepsLabel", kSteps);
    text->addWidget(steps);
    addLabel(text, "noteLabel", kNote);
    text->addStretch();
    auto *buttons = new QHBoxLayout;
    addButton(buttons, kFAQButton, kFAQTitle);
    addButton(buttons, kWebsiteButton, kWebsiteTitle);
    buttons->addStretch();
    addButton(buttons, kSettingsButton, kSettingsTitle)->setDefault(true);
    text->addLayout(buttons);
    main->addLayout(text, 1);
    return window;
}

// The window from the bundle, or null with the reason.
QWidget *loadWindow(const std::string &resources, std::string *path, std::string *reason)
{
    if (resources.empty()) {
        *path = "Accessibility.ui";
        *reason = "the helper does not run from its bundle";
        return nullptr;
    }
    *path = resources + "/Accessibility.ui";
    QFile file(QString::fromStdString(*path));
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString().toStdString();
        return nullptr;
    }
    QUiLoader loader;
    // Images named in the file (the icon) are found next to it.
    loader.setWorkingDirectory(QDir(QString::fromStdString(resources)));
    QWidget *window = loader.load(&file);
    if (!window) {
        *reason = loader.errorString().toStdString();
        return nullptr;
    }
    for (const char *name : {kSettingsButton, kWebsiteButton, kFAQButton}) {
        if (!window->findChild<QAbstractButton *>(QLatin1String(name))) {
            *reason = std::string("it has no button named ") + name;
            delete window;
            return nullptr;
        }
    }
    return window;
}

// Watches the window's close event. Knows when it is inside the event, so
// that a callback destroying the window defers the delete.
class CloseWatcher : public QObject {
public:
    std::function<void()> onClose;
    bool dispatching = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Close && onClose) {
            auto callback = onClose;
            dispatching = true;
            callback();
            dispatching = false;
        }
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

// The window controller: loads the window, puts the name in, wires the
// three buttons, and owns the window.
class Accessibility {
public:
    explicit Accessibility(Platform::Desktop desktop)
    {
        std::string resources = resourcesPath();
        std::string path;
        std::string reason;
        root = loadWindow(resources, &path, &reason);
        if (!root) {
            std::fprintf(stderr, "tessaron-helper: cannot load %s: %s; using the built-in window\n", path.c_str(),
                reason.c_str());
            std::fflush(stderr);
            root = builtInWindow(resources);
        }
        root->setWindowFlag(Qt::Window);
        watcher = new CloseWatcher;
        watcher->setParent(root);
        root->installEventFilter(watcher);
        explain(desktop);
        windowDidLoad();
        connect(kSettingsButton, [] { openAccessibilitySettings(); });
        connect(kWebsiteButton, [] { openLink(websiteURL()); });
        connect(kFAQButton, [] { openLink(faqURL()); });
    }

    ~Accessibility()
    {
        // First, so that this close does not count as the user's.
        removeCloseObserver();
        root->close();
        // Inside the window's own close event the delete must wait.
        if (watcher->dispatching)
            root->deleteLater();
        else
            delete root;
    }

    Accessibility(const Accessibility &) = delete;
    Accessibility &operator=(const Accessibility &) = delete;

    QWidget *window() const { return root; }

    void setCloseObserver(std::function<void()> observer) { watcher->onClose = std::move(observer); }
    void removeCloseObserver() { watcher->onClose = nullptr; }

private:
    // Off X11 the steps are another desktop's.
    void explain(Platform::Desktop desktop)
    {
        const std::optional<DesktopGuidance> guidance = desktopGuidance(desktop);
        if (!guidance)
            return;
        if (auto *label = root->findChild<QLabel *>(QStringLiteral("explanationLabel")))
            label->setText(QString::fromUtf8(guidance->explanation));
        if (auto *label = root->findChild<QLabel *>(QStringLiteral("stepsLabel")))
            label->setText(QString::fromUtf8(guidance->steps));
    }

    void windowDidLoad()
    {
        std::string name = applicationName();
        std::string title = root->windowTitle().toStdString();
        // The title gets a plain replace-all, whatever it already holds.
        root->setWindowTitle(QString::fromStdString(replaceAll(title, kPlaceholder, name)));
        replaceTextInSubviews(root, {{kPlaceholder, name}});
    }

    template <typename Action>
    void connect(const char *name, Action action)
    {
        if (auto *button = root->findChild<QAbstractButton *>(QLatin1String(name)))
            QObject::connect(button, &QAbstractButton::clicked, button, action);
    }

    QWidget *root = nullptr;
    CloseWatcher *watcher = nullptr;
};

struct AccessibilityDialog::Impl {
    explicit Impl(Platform::Pointer &pointer) : pointer(pointer) {}
    Platform::Pointer &pointer;
    std::function<void()> granted;
    std::function<void()> closed;
    KCore::Timer poll;
    std::unique_ptr<Accessibility> controller;
    bool wasDockIconVisible = KCore::App::isDockIconVisible();
};

AccessibilityDialog::AccessibilityDialog(Platform::Pointer &pointer)
    : impl(std::make_shared<Impl>(pointer))
{
    if (!impl->wasDockIconVisible)
        KCore::App::setDockIconVisible(true);
    std::weak_ptr<Impl> weak = impl;
    impl->poll.setCallback([weak, &pointer] {
        if (!pointer.isAccessibilityTrusted())
            return;
        // Unlike the manager, any system version: the probe must work here.
        if (!pointer.canCreateEventTap()) {
            KSystem::showSystemLimitationAndQuit();
            return;
        }
        std::function<void()> granted;
        if (auto self = weak.lock()) {
            self->poll.stop();
            granted = self->granted;
        }
        // The callback may destroy the dialog and this timer with it.
        if (granted)
            granted();
    });
    impl->poll.start(1.0, {});
}

AccessibilityDialog::~AccessibilityDialog()
{
    if (!impl->wasDockIconVisible)
        KCore::App::setDockIconVisible(false);
    // The controller drops the close observer before it closes the window,
    // so this close is not taken for the user's.
    impl->controller.reset();
    impl->poll.stop();
}

void AccessibilityDialog::setGrantedCallback(std::function<void()> callback)
{
    impl->granted = std::move(callback);
}

void AccessibilityDialog::setClosedCallback(std::function<void()> callback)
{
    impl->closed = std::move(callback);
}

void AccessibilityDialog::show()
{
    if (!impl->controller)
        impl->controller = std::make_unique<Accessibility>(impl->pointer.desktop());
    QWidget *window = impl->controller->window();
    // Centred on the screen: without a window manager it would sit in a corner.
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        window->adjustSize();
        window->move(screen->availableGeometry().center() - window->rect().center());
    }
    window->show();
    window->raise();
    window->activateWindow();
    std::weak_ptr<Impl> weak = impl;
    impl->controller->setCloseObserver([weak] {
        std::function<void()> closed;
        if (auto self = weak.lock())
            closed = self->closed;
        // Not holding the Impl: the callback may destroy the dialog.
        if (closed)
            closed();
    });
}

QWidget *AccessibilityDialog::window() const
{
    return impl->controller ? impl->controller->window() : nullptr;
}

void replaceTextInSubviews(QWidget *view, const PlaceholderPairs &pairs)
{
    if (!view || pairs.empty())
        return;
    for (QObject *child : view->children()) {
        auto *widget = qobject_cast<QWidget *>(child);
        if (!widget)
            continue;
        auto *label = qobject_cast<QLabel *>(widget);
        auto *field = qobject_cast<QLineEdit *>(widget);
        auto *button = qobject_cast<QAbstractButton *>(widget);
        auto *box = qobject_cast<QGroupBox *>(widget);
        QString text;
        if (label)
            text = label->text();
        else if (field)
            text = field->text();
        else if (button)
            text = button->text();
        else if (box)
            text = box->title();
        if (label || field || button || box) {
            QString replaced = QString::fromStdString(replacePlaceholders(text.toStdString(), pairs));
            if (label)
                label->setText(replaced);
            else if (field)
                field->setText(replaced);
            else if (button)
                button->setText(replaced);
            else
                box->setTitle(replaced);
        }
        replaceTextInSubviews(widget, pairs);
    }
}

std::string accessibilitySettingsURL()
{
    return siteBaseURL() + "help/input-permission" + utmQuery();
}

void openAccessibilitySettings()
{
    openLink(accessibilitySettingsURL());
}

std::string utmQuery()
{
    std::string shortVersion;
    std::string identifier;
    if (KCore::App *app = KCore::App::instance()) {
        shortVersion = app->bundleShortVersion();
        identifier = app->bundleIdentifier();
    }
    return makeUtmQuery(osVersionString(), shortVersion, identifier);
}

std::string websiteURL()
{
    return siteBaseURL() + utmQuery();
}

const std::string &faqURL()
{
    // Kept from the first use for the life of the process.
    static const std::string url = siteBaseURL() + "faq/" + utmQuery();
    return url;
}

} // namespace KUI
