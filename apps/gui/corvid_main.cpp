// corvid: the station with its window. Started without arguments it serves the user's station
// folder (made with sample files at the first start); --home picks another, --backend and
// --sim-dir the devices.
#include <CLI/CLI.hpp>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "apps/cli/commands.h"
#include "apps/cli/device_options.h"
#include "apps/cli/record_database.h"
#include "apps/cli/station_home.h"
#include "gui/main_window.h"
#include "gui/single_instance.h"
#include "gui/station_application.h"
#include "platform/terminal.h"
#include "production/station_home_writer.h"
#include "station_control/station_assembly.h"

namespace {

using namespace corvid;

struct Options {
    std::string home;
    cli::DeviceOptions device;
    double pauseScale = 1.0;
    std::string recordDb;  // wins over RecordDatabase in prefer.ini
};

// The title the program starts with, of the one version the package and --version give.
QString applicationTitle() {
    return QStringLiteral("ZQL5Vxx Corvid v" CORVID_VERSION);
}

// A start that cannot go on: one line on standard error and the same text in a box.
int startFailed(const QString& text, int status) {
    std::fprintf(stderr, "corvid: %s\n", text.toUtf8().constData());
    // Without a screen (offscreen: scripts, tests) nobody could close the box.
    if (QGuiApplication::platformName() != QStringLiteral("offscreen")) {
        QMessageBox::critical(nullptr, applicationTitle(), text);
    }
    return status;
}

int runWindow(QApplication& app, const Options& options) {
    const std::filesystem::path home = cli::resolveStationHome(options.home);
    if (!cli::stationHomeNamed(options.home)) {
        std::error_code error;
        if (std::filesystem::exists(home, error)) {
            std::fprintf(stderr,
                         "corvid: station folder %s (the default; --home or CORVID_HOME name "
                         "another).\n",
                         home.string().c_str());
        } else {
            try {
                writeStationHome(home, false);
            } catch (const StationHomeError& failed) {
                return startFailed(QString::fromUtf8(failed.what()), cli::kExitFailed);
            }
            std::fprintf(stderr,
                         "corvid: no station folder was named (--home or CORVID_HOME): a new one "
                         "with sample files was made in %s.\n",
                         home.string().c_str());
        }
    }
    gui::SingleInstance instance(home);
    std::error_code missing;
    // A folder that is not there is said by the station's load below.
    if (std::filesystem::is_directory(home, missing)) {
        bool first = false;
        try {
            first = instance.lock();
        } catch (const FileLockError& error) {
            return startFailed(QString::fromUtf8(error.what()), cli::kExitFailed);
        }
        if (!first) {
            // The running window comes to the front; this start ends before showing anything
            // and saves nothing.
            const bool asked = instance.askRunningInstance();
            std::fprintf(stderr, "corvid: a station window for %s is open already%s.\n",
                         home.string().c_str(),
                         asked ? "; it was brought to the front" : " (it does not answer)");
            return cli::kExitOk;
        }
        QString taken;
        if (!instance.listen(taken)) {
            return startFailed(QStringLiteral("the single-instance name of the station folder "
                                              "%1 cannot be taken: %2")
                                   .arg(QString::fromStdString(home.string()), taken),
                               cli::kExitFailed);
        }
    }

    // Problems of the record reach the window once it exists; those of the start wait for it.
    struct RecordProblems {
        std::vector<std::string> early;
        QPointer<gui::MainWindow> window;
    };
    const auto problems = std::make_shared<RecordProblems>();
    const auto complain = [problems](const std::string& why) {
        std::fprintf(stderr, "corvid: %s\n", why.c_str());
        if (problems->window) {
            const std::string shown = why;
            QMetaObject::invokeMethod(
                problems->window.data(),
                [window = problems->window, shown] {
                    if (window) {
                        window->showRecordProblem(shown);
                    }
                },
                Qt::QueuedConnection);
        } else {
            problems->early.push_back(why);
        }
    };

    std::unique_ptr<StationSetup> station;
    std::unique_ptr<StationAssembly> assembly;
    std::unique_ptr<gui::MainWindow> window;
    try {
        const DeviceSetup devices = cli::deviceSetupOf(options.device);
        station = loadStation(home, stationSetupOptions(devices, options.pauseScale));
        // Relative paths of the station's files resolve in its folder from here on.
        std::filesystem::current_path(home);
        assembly = std::make_unique<StationAssembly>(*station, devices);
        // The record is kept by the assembly, which outlives the window: the window's end waits
        // for the last runs to be written.
        assembly->keepRecord(
            cli::usableRecordDatabase(options.recordDb, station->settings, complain), complain);
        // The window reads the files of its tools too: a failure there is said as one line.
        window = std::make_unique<gui::MainWindow>(*assembly);
    } catch (const StationFolderError& error) {
        return startFailed(QString::fromUtf8(error.what()) +
                               QStringLiteral(" (corvid-cli init-home DIR writes a complete one)."),
                           cli::kExitBadInput);
    } catch (const cli::DeviceOptionError& error) {
        return startFailed(QString::fromUtf8(error.what()), cli::kExitBadInput);
    } catch (const SettingsError& error) {
        return startFailed(QString::fromUtf8(error.what()), cli::kExitBadInput);
    } catch (const RecordError& error) {
        return startFailed(QString::fromUtf8(error.what()), cli::kExitBadInput);
    } catch (const std::exception& error) {
        return startFailed(QString::fromUtf8(error.what()), cli::kExitFailed);
    }

    problems->window = window.get();
    QObject::connect(&instance, &gui::SingleInstance::frontRequested, window.get(),
                     [target = window.get()] {
                         target->showNormal();
                         target->raise();
                         target->activateWindow();
                     });
    window->show();
    for (const std::string& problem : problems->early) {
        window->showRecordProblem(problem);
    }
    try {
        window->listen();
    } catch (const std::exception& error) {
        return startFailed(QString::fromUtf8(error.what()), cli::kExitFailed);
    }
    // A signal ends the window as its close does, after the running runs: a closed session
    // (SIGHUP) or a service stop (SIGTERM) loses no run and no setting.
    const InterruptCounter interrupts;
    QTimer signalCheck;
    QObject::connect(&signalCheck, &QTimer::timeout, window.get(), [&interrupts, &window] {
        if (interrupts.count() > 0) {
            window->endWhenIdle();
        }
    });
    signalCheck.start(200);
    const int status = app.exec();
    signalCheck.stop();
    window.reset();
    StationRecord& record = *assembly->record();
    record.finish();
    for (const std::string& notice : record.takeNotices()) {
        std::fprintf(stderr, "corvid: %s\n", notice.c_str());
    }
    if (const std::int64_t unrecorded = record.unrecordedRuns(); unrecorded > 0) {
        std::fprintf(stderr, "corvid: %lld ended run(s) were not recorded\n",
                     static_cast<long long>(unrecorded));
        return cli::kExitFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    corvid::ignoreClosedPipes();
    Options options;
    CLI::App command("corvid: the USB flash-disk production station with its window");
    // Options are --name on every system: an argument that starts with '/' is a path.
    command.allow_windows_style_options(false);
    command.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("corvid: ") + error.what() + "\nRun with --help for more information.\n";
    });
    command.set_version_flag("--version", std::string("corvid ") + CORVID_VERSION);
    cli::addHomeOption(command, options.home);
    cli::addDeviceOptions(command, options.device);
    command
        .add_option("--pause-scale", options.pauseScale,
                    "Scale of the pauses between device steps (1: as the station waits; 0: none)")
        ->check(CLI::Range(0.0, 100.0));
    command.add_option(
        "--record-db", options.recordDb,
        "Also send every row of the production record to this PostgreSQL "
        "database (postgresql://USER@HOST:PORT/DATABASE), or to the one named in this "
        "file's first line, so that no password stands in ps; wins over "
        "CORVID_RECORD_DB and "
        "RecordDatabase in prefer.ini");
    try {
        command.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = command.exit(error);
        return status == 0 ? cli::kExitOk : cli::kExitBadInput;
    }

    gui::StationApplication app(argc, argv);
    QApplication::setApplicationName(applicationTitle());
    return runWindow(app, options);
}
