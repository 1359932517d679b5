#include "core/app.h"

#include "core/bundle_info.h"
#include "core/url_event.h"
#include "platform/host.h"

#include <QApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define TESSARON_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSARON_LEAK_CHECK 1
#endif
#endif
#ifdef TESSARON_LEAK_CHECK
#include <sanitizer/lsan_interface.h>

// Built in, so that every program on the App is checked alike, in a sandbox
// too. fontconfig keeps its caches until FcFini and libdbus its connection
// state until dbus_shutdown, which Qt calls neither of. Their allocations
// show no caller beyond the library, so the library is all there is to
// name; no code of ours runs inside either, so no leak of ours can match.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}

// Tests compare what the helper writes on stderr.
extern "C" const char *__lsan_default_options()
{
    return "print_suppressions=0";
}
#endif

namespace KCore {

struct App::Impl {
    explicit Impl(Platform::Host &host) : host(host) {}

    Platform::Host &host;
    std::function<void()> willTerminate;
    std::function<void()> launched;
    App::URLCallback urlCallback;
    std::vector<std::string> arguments;
    // What Qt sees of the command line: the program name alone.
    int qtArgc = 1;
    char *qtArgv[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> application;
    std::unique_ptr<QSocketNotifier> quitSignalNotifier;
};

namespace {

App *currentApp = nullptr;
std::atomic<int> activationPolicy{0};
bool terminating = false;

// Written by the handler of SIGTERM, SIGINT and SIGHUP, read by the loop.
// Created once and kept for the process: a late signal must find a valid
// descriptor.
int quitSignalPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    int saved = errno;
    char byte = 1;
    // Nothing else is safe here; a full pipe already holds a wake-up.
    [[maybe_unused]] ssize_t n = ::write(quitSignalPipe[1], &byte, 1);
    errno = saved;
}

// The helper logs nothing; Qt's chatter (missing runtime folder, fonts)
// would be its only output. Real faults still get through.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

void installQuitSignalHandlers()
{
    if (quitSignalPipe[0] < 0 && ::pipe2(quitSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Ctrl-C and a closed terminal end the helper as a stop request does:
    // in order, never in the middle of an installation.
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

void drainQuitSignalPipe()
{
    char buffer[64];
    ssize_t n;
    do {
        n = ::read(quitSignalPipe[0], buffer, sizeof buffer);
    } while (n > 0 || (n < 0 && errno == EINTR));
}

} // namespace

App::App(int &argc, char **argv, Platform::Host &host)
    : impl(std::make_shared<Impl>(host))
{
    installQuitSignalHandlers();
    qInstallMessageHandler(quietMessages);
    // Every argument is a URL for us; Qt would take "-display" or
    // "-platform" as its own options, so it sees none of them.
    for (int i = 0; i < argc; ++i)
        impl->arguments.emplace_back(argv[i]);
    impl->qtArgv[0] = argc > 0 ? argv[0] : const_cast<char *>("tessaron-helper");
    impl->application = std::make_unique<QApplication>(impl->qtArgc, impl->qtArgv);
    // Alerts and the guidance window come and go; only quit() ends the helper.
    impl->application->setQuitOnLastWindowClosed(false);
    if (quitSignalPipe[0] >= 0) {
        impl->quitSignalNotifier = std::make_unique<QSocketNotifier>(quitSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(impl->quitSignalNotifier.get(), &QSocketNotifier::activated, [] {
            drainQuitSignalPipe();
            if (App::instance())
                App::quit();
        });
    }
    currentApp = this;
}

App::~App()
{
    if (currentApp == this)
        currentApp = nullptr;
    impl->quitSignalNotifier.reset();
    impl->application.reset();
}

App *App::instance()
{
    return currentApp;
}

void App::run()
{
    std::weak_ptr<Impl> weak = impl;
    postToMainThread([weak] {
        auto self = weak.lock();
        if (!self)
            return;
        if (self->launched) {
            auto launched = self->launched;
            launched();
        }
        // Each argument is one URL event, after launch, in order.
        for (std::size_t i = 1; i < self->arguments.size(); ++i) {
            std::string url = self->arguments[i];
            postToMainThread([weak, url] {
                auto alive = weak.lock();
                if (!alive)
                    return;
                KInstall::URLParts parts = KInstall::parseURLEvent(url);
                if (alive->urlCallback) {
                    auto callback = alive->urlCallback;
                    callback(parts.scheme, parts.host, parts.path, parts.parameters);
                }
            });
        }
    });
    impl->application->exec();
}

void App::quit()
{
    postToMainThread([] { QTimer::singleShot(0, [] { terminate(); }); });
}

void App::postToMainThread(std::function<void()> callback)
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || !callback)
        return;
    QMetaObject::invokeMethod(application, std::move(callback), Qt::QueuedConnection);
}

void App::terminate()
{
    App *app = currentApp;
    if (!app || terminating)
        return;
    terminating = true;
    if (app->impl->willTerminate) {
        auto callback = app->impl->willTerminate;
        callback();
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
#ifdef TESSARON_LEAK_CHECK
    // _exit passes the leak checker's own exit hook by: ask it here, so the
    // helper's real runs are checked too.
    __lsan_do_leak_check();
#endif
    // Like the platform's terminate: the process ends here, main never resumes.
    ::_exit(0);
}

void App::setOnLaunched(std::function<void()> callback)
{
    impl->launched = std::move(callback);
}

void App::setOnWillTerminate(std::function<void()> callback)
{
    impl->willTerminate = std::move(callback);
}

void App::setUrlCallback(URLCallback callback)
{
    impl->urlCallback = std::move(callback);
}

void App::setActivationPolicy(int policy)
{
    activationPolicy = policy;
}

void App::setDockIconVisible(bool visible)
{
    activationPolicy = visible ? 0 : 1;
}

bool App::isDockIconVisible()
{
    return activationPolicy == 0;
}

namespace {

// Non-empty values are kept for the life of the process; an empty one is
// read again next time, so a bundle that gains the key is noticed.
const std::string &cachedInfoValue(std::string &cache, const char *key)
{
    if (cache.empty())
        cache = mainBundleInfoValue(key);
    return cache;
}

} // namespace

const std::string &App::bundleName()
{
    static std::string cache;
    return cachedInfoValue(cache, "CFBundleName");
}

const std::string &App::bundleShortVersion()
{
    static std::string cache;
    return cachedInfoValue(cache, "CFBundleShortVersionString");
}

const std::string &App::bundleVersion()
{
    static std::string cache;
    return cachedInfoValue(cache, "CFBundleVersion");
}

const std::string &App::bundleIdentifier()
{
    static std::string cache;
    return cachedInfoValue(cache, "CFBundleIdentifier");
}

const std::string &App::bundleDisplayName()
{
    static std::string cache;
    return cachedInfoValue(cache, "CFBundleDisplayName");
}

Platform::Host &App::host()
{
    return impl->host;
}

void App::openURL(const std::string &url)
{
    impl->host.openURL(url);
}

} // namespace KCore

OSVersion osVersion()
{
    KCore::App *app = KCore::App::instance();
    return app ? app->host().osVersion() : OSVersion{};
}

std::string osVersionString()
{
    return KCore::versionString(osVersion());
}
