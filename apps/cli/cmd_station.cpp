// corvid-cli station: the station on the command line. Eight slots take the devices as they are
// plugged in, each runs its production run, and the slots are shown as a live table on a
// terminal (one line per change anywhere else). Every ended run becomes a row of the production
// record.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "apps/cli/commands.h"
#include "apps/cli/station_home.h"
#include "apps/cli/station_session.h"
#include "apps/cli/station_table.h"
#include "platform/host_name.h"
#include "platform/terminal.h"
#include "records/postgres_record_store.h"
#include "records/record_relay.h"
#include "records/sqlite_record_store.h"
#include "station_control/run_record_writer.h"

namespace corvid::cli {

namespace {

struct StationOptions {
    StationSessionOptions session;
    int count = 0;         // 0: until interrupted
    std::string recordDb;  // --record-db: wins over RecordDatabase in prefer.ini
};

// The production record of the station: its SQLite file alone, or, with a factory's database,
// the file as the queue of a relay that sends every row on.
struct StationRecord {
    std::unique_ptr<SqliteRecordStore> file;
    std::unique_ptr<RecordRelay> relay;
    RunRecordStore* store() const {
        return relay ? static_cast<RunRecordStore*>(relay.get()) : file.get();
    }
};

// The factory database's URL, from --record-db or prefer.ini; empty when none.
std::string recordDatabaseOf(const StationOptions& options, const StationSetup& station) {
    return options.recordDb.empty() ? station.settings.corvid.recordDatabase : options.recordDb;
}

// The production record of the station, unless prefer.ini turns it off or it cannot be opened;
// either way the station goes on.
StationRecord openRecord(StationSetup& station, StationTable& table, const std::string& url) {
    StationRecord record;
    if (!station.settings.corvid.productionRecord) {
        table.note("the production record is off (ProductionRecord=0 in prefer.ini)");
        return record;
    }
    const std::filesystem::path file = productionRecordFile(station.folder.home());
    try {
        if (url.empty()) {
            record.file = std::make_unique<SqliteRecordStore>(file);
        } else {
            record.relay = std::make_unique<RecordRelay>(file, urlWithoutPassword(url), [url] {
                return std::make_unique<PostgresRecordStore>(url);
            });
            table.note("the production record goes to " + record.relay->serverName() +
                       " by way of " + file.string());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "corvid-cli station: the production record cannot be opened (%s); runs "
                     "are not recorded.\n",
                     error.what());
    }
    return record;
}

// What the relay has to say, as lines above the table.
void showRecordNotices(RecordRelay* relay, StationTable& table) {
    if (relay != nullptr) {
        for (const std::string& notice : relay->takeNotices()) {
            table.note(notice);
        }
    }
}

int runStation(const StationOptions& options) {
    StationSession session(options.session);
    StationSetup& station = session.station();
    // A URL that cannot work is a mistake of the setup: said before any device is taken.
    const std::string recordDatabase = recordDatabaseOf(options, station);
    if (!recordDatabase.empty()) {
        try {
            checkPostgresUrl(recordDatabase);
        } catch (const RecordError& error) {
            std::fprintf(stderr, "corvid-cli station: %s\n", error.what());
            return kExitBadInput;
        }
    }
    StationTable table(standardOutputIsTerminal());
    StationController& controller = session.start(table.slotViews(), table, table, "station");
    controller.addListener(table);
    controller.setLanguage(station.language.iLanguage);  // every slot shows it waits

    StationRecord record = openRecord(station, table, recordDatabase);
    std::optional<RunRecordWriter> writer;
    if (RunRecordStore* store = record.store()) {
        writer.emplace(*store, station.settings, hostName(), [](const std::string& why) {
            std::fprintf(stderr, "corvid-cli station: %s\n", why.c_str());
        });
        controller.addListener(*writer);
    }
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
        showRecordNotices(record.relay.get(), table);
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
    if (record.relay) {
        record.relay->finish();  // the rows waiting are offered once more
        showRecordNotices(record.relay.get(), table);
    }
    table.finish();
    if (writer) {
        const std::string failed =
            writer->failedRows() > 0
                ? ", " + std::to_string(writer->failedRows()) + " could not be written"
                : "";
        if (record.relay) {
            const RelayCounts counts = record.relay->counts();
            std::printf(
                "production record: %d row(s) written to %s%s; %lld sent to %s, %lld "
                "waiting to be sent\n",
                writer->writtenRows(), record.relay->localFile().string().c_str(), failed.c_str(),
                static_cast<long long>(counts.sent), record.relay->serverName().c_str(),
                static_cast<long long>(counts.waiting));
        } else {
            std::printf("production record: %d row(s) written to %s%s\n", writer->writtenRows(),
                        record.file->file().string().c_str(), failed.c_str());
        }
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
    command->add_option("--record-db", options->recordDb,
                        "Also send every row of the production record to this PostgreSQL "
                        "database (postgresql://USER@HOST:PORT/DATABASE); wins over "
                        "RecordDatabase in prefer.ini. Rows wait in log/production.db while it "
                        "cannot be reached");
    command->callback([&exitStatus, options] {
        exitStatus = runStationCommand("station", [&] { return runStation(*options); });
    });
}

}  // namespace corvid::cli
