// Orvane's entry point: driver environment, render context and device list, asset pak, thread pool,
// application, main window, run loop; then an orderly shutdown.
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

#include <zelk/ui/Application.h>
#include <zelk/ui/Exceptions.h>
#include <zelk/ui/RenderContext.h>

#include "AppState.h"
#include "AssetManager.h"
#include "Logger.h"
#include "MainWindow.h"
#include "SessionKeeper.h"
#include "Platform.h"
#include "Startup.h"
#include "ThreadPool.h"
#include "Views/TopBarView.h"

namespace {

constexpr const char* applicationName = "Orvane";

// Owns what start-up creates, so that every exit path destroys it in reverse order: main window, then
// application, then device list, then whatever the render context pointer still owns.
struct Session {
    std::unique_ptr<zelk::ui::RenderContext> renderContext;
    std::vector<zelk::ui::DeviceInfo> devices;
    std::unique_ptr<zelk::ui::Application> application;
    std::unique_ptr<MainWindow> mainWindow;

    void close() noexcept {
        mainWindow.reset();
        application.reset();
        devices.clear();
        renderContext.reset();
    }
    ~Session() { close(); }
};

void run(Session& session, const startup::Arguments& args) {
    const std::filesystem::path exeDir = platform::executableDirectory();

    startup::applyDriverEnvironment(exeDir);

    session.renderContext =
        zelk::ui::RenderContext::create(static_cast<zelk::ui::RenderBackend>(0), applicationName);
    session.devices = session.renderContext->getDevices();
    for (const auto& device : session.devices) {
        std::cout << "Device ID: " << device.id << ", Name: " << device.name << std::endl;
    }
    session.renderContext->selectDevice(0);
    session.renderContext->setup();

    std::error_code ec;
    std::filesystem::path cwd = std::filesystem::current_path(ec);
    const std::filesystem::path currentDir = ec ? std::filesystem::path(".") : cwd;
    const std::filesystem::path pak = startup::findAssetPak(exeDir, currentDir);
    if (!startup::somethingExistsAt(pak)) {
        throw std::runtime_error(
            startup::assetPakNotFoundMessage(startup::assetPakCandidates(exeDir, currentDir)));
    }
    AssetManager::init(pak.string());

    ThreadPool::instance().init(1);

    session.application =
        std::make_unique<zelk::ui::Application>(std::move(session.renderContext), applicationName);
    zelk::ui::Application::setVSync(true);

    session.mainWindow = std::make_unique<MainWindow>();
    session.mainWindow->getTopBar()->setAddress(args.address);
    session.mainWindow->getTopBar()->setPort(args.port);
    // The last session: fields (unless the command line named a controller), window, split, rate and
    // each controller's watch list; written again as it changes and at the end.
    SessionKeeper keeper(session.mainWindow.get(), SettingsStore::defaultFolder());
    keeper.restore(!args.address.empty());

    // An interrupt or termination request closes the application like its window would.
    static const char quitWatcher = 0;
    zelk::ui::Application::registerTickCallback(&quitWatcher, [] {
        if (platform::quitRequested()) {
            zelk::ui::Application::quit();
        }
    });

    session.application->run();

    // Exchanges still running (a controller trickling a reply) end now, so the pool stops at once.
    AppState::getInstance()->shutdown();
    ThreadPool::instance().stop();
}

} // namespace

int main(int argc, char** argv) {
    platform::useParentConsole();
    const startup::Arguments args = startup::parseArguments(argc, argv);
    if (!args.error.empty()) {
        std::cerr << "orvane: " << args.error << "\n" << startup::usageText().substr(0, startup::usageText().find('\n') + 1);
        return 1;
    }
    if (args.help) {
        std::cout << startup::usageText();
        return 0;
    }
    if (args.version) {
        std::cout << "orvane " << ORVANE_VERSION << "\n";
        return 0;
    }
    // Information and above unless asked for more; colour only where a terminal shows it.
    Logger::configure(args.verbose ? LogLevel::Trace : LogLevel::Info, platform::outputIsTerminal());

    // A controller that closes its socket while we send must yield an error code, not end the process.
    platform::ignoreBrokenPipeSignal();
    platform::installQuitSignalHandlers();

    Session session;
    try {
        AppState::getInstance()->setConnectionMode(args.unconnected ? ZELKC_LOGIX_MODE_UNCONNECTED
                                                                    : ZELKC_LOGIX_MODE_AUTO);
        run(session, args);
    } catch (const zelk::ui::RenderException& e) {
        session.close();
        std::cerr << "RenderException: " << e.what() << " CODE: " << static_cast<int32_t>(e.getCode())
                  << "\n";
        AppState::getInstance()->shutdown();
        ThreadPool::instance().stop();
        return 1;
    } catch (const std::exception& e) {
        session.close();
        std::cerr << e.what() << "\n";
        AppState::getInstance()->shutdown();
        ThreadPool::instance().stop();
        return 1;
    }
    session.close();
    return 0;
}
