// corvid-cli station: the station on the command line. Eight slots take the devices as they are
// plugged in, each runs its production run, and the slots are shown as a live table on a
// terminal (one line per change anywhere else). Every ended run becomes a row of the production
// record.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "apps/cli/commands.h"
#include "apps/cli/record_database.h"
#include "apps/cli/station_home.h"
#include "apps/cli/station_session.h"
#include "apps/cli/station_table.h"
#include "platform/terminal.h"
#include "station_control/station_record.h"

namespace corvid::cli {

namespace {

struct StationOptions {
    StationSessionOptions session;
    int count = 0;         // 0: until interrupted
    std::string recordDb;  // --record-db: wins over RecordDatabase in prefer.ini
};

int runStation(const StationOptions& options) {
    StationSession session(options.session);
    StationSetup& station = session.station();
    StationTable table(standardOutputIsTerminal());
    // A URL that cannot work is a mistake of the setup: said before any device is taken.
    try {
        const auto complain = [](const std::string& why) {
            std::fprintf(stderr, "corvid-cli station: %s\n", why.c_str());
        };
        session.assembly().keepRecord(
            usableRecordDatabase(options.recordDb, station.settings, complain), complain);
    } catch (const RecordError& error) {
        std::fprintf(stderr, "corvid-cli station: %s\n", error.what());
        return kExitBadInput;
    }
    StationRecord& record = *session.assembly().record();
    StationController& controller = session.start({table.slotViews(), &table, &table}, "station");
    controller.addListener(table);
    controller.setLanguage(station.language.iLanguage);  // every slot shows it waits
    const StationSession::StopGuard stopFirst(session);

    InterruptCounter interrupts;
    KeyReader keys;
    session.listen();
    const bool manual = station.settings.CheckManuupgrade;
    table.note(std::string("station ready in ") + station.folder.home().string() +
               ": plug devices in" +
               (manual ? "; press Enter to start the upgrade of the devices waiting" : "") +
               "; Ctrl-C stops taking devices, a second Ctrl-C ends the running runs");

    bool stopping = false;
    bool ending = false;
    while (true) {
        controller.runPending(std::chrono::milliseconds(50));
        for (const std::string& notice : record.takeNotices()) {
            table.note(notice);
        }
        table.redraw();
        if (const auto key = keys.poll(); key && manual && !stopping) {
            controller.startUpgrade();
        }
        const bool countReached = options.count > 0 && table.endedRuns() >= options.count;
        if (!stopping && (interrupts.count() >= 1 || countReached)) {
            stopping = true;
            controller.stopTakingDevices();
            table.note(countReached ? "the runs asked for have ended; the station takes no more "
                                      "devices"
                                    : "stopping: no more devices are taken; waiting for the "
                                      "running runs (Ctrl-C again ends them)");
        }
        if (!ending && interrupts.count() >= 2) {
            ending = true;
            controller.endRunningWorkers();
            table.note("ending the running runs");
        }
        if (stopping && controller.runningWorkers() == 0) {
            break;
        }
    }
    record.finish();  // the rows waiting are offered once more
    for (const std::string& notice : record.takeNotices()) {
        table.note(notice);
    }
    table.finish();
    if (const std::string summary = record.summary(); !summary.empty()) {
        std::printf("%s\n", summary.c_str());
    }
    if (const std::int64_t unrecorded = record.unrecordedRuns(); unrecorded > 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "corvid-cli station: %lld ended run(s) were not recorded\n",
                     static_cast<long long>(unrecorded));
        return kExitFailed;
    }
    return table.failedRuns() > 0 ? kExitFailed : kExitOk;
}

}  // namespace

void addStationCommand(CLI::App& app, int& exitStatus) {
    const auto options = std::make_shared<StationOptions>();
    CLI::App* command = app.add_subcommand(
        "station",
        "Run the station: up to eight devices at once, each taken as it is plugged in and "
        "produced with the station folder's settings; a live table of the slots");
    addStationSessionOptions(*command, options->session);
    command
        ->add_option("--count", options->count,
                     "End after this many runs have ended (the running ones are waited for)")
        ->check(CLI::PositiveNumber);
    command->add_option(
        "--record-db", options->recordDb,
        "Also send every row of the production record to this PostgreSQL "
        "database (postgresql://USER@HOST:PORT/DATABASE), or to the one named in this "
        "file's first line, so that no password stands in ps; wins over "
        "CORVID_RECORD_DB and "
        "RecordDatabase in prefer.ini. Rows wait in log/production.db while it "
        "cannot be reached");
    command->callback([&exitStatus, options] {
        exitStatus = runStationCommand("station", [&] { return runStation(*options); });
    });
}

}  // namespace corvid::cli
