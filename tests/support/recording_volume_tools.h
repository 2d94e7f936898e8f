#pragma once

// RecordingVolumeTools: a fake of the volume tools for unit tests.
//
// It records every call with its arguments and keeps a small model of each drive's volume, so a
// sequence under test sees what it did:
//
//   RecordingVolumeTools fake;
//   fake.setProbe('E', {VolumeState::NoFat});      // what probe('E') answers from now on
//   fake.setStoredLabel('E', "OLD");               // what label('E') answers
//   fake.failNext(VolumeCall::Format, "no room");  // the next format fails with this reason
//   fake.failAlways(VolumeCall::CheckDisk);        // every check fails
//   ... run the code under test with 'fake' as its VolumeTools ...
//   EXPECT_EQ(fake.kinds(), (std::vector<VolumeCall>{VolumeCall::Probe, VolumeCall::Format}));
//   EXPECT_EQ(fake.calls().at(1).choice, FileSystemChoice::Fat16Unit8K);
//
// The model: a drive starts with a readable FAT volume (1 GB free) and no label. A successful
// format makes the volume FAT and removes its label; a successful setLabel stores the label as
// checkVolumeLabel gives it, and a label FAT cannot hold is refused with checkVolumeLabel's
// reason, as the real tools do. Scripted failures come first: failNext reasons one per call, in
// order, then a failAlways reason. A failed call changes nothing. label() has no failure of its
// own; it answers the stored label. All members are safe to call from several threads.

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/volume_tools.h"

namespace corvid::test {

enum class VolumeCall {
    Probe,
    Refresh,
    Format,
    Label,
    SetLabel,
    MakeFolder,
    CopyFiles,
    VerifyFiles,
    CheckDisk,
    Flush,
};

struct RecordedVolumeCall {
    VolumeCall kind = VolumeCall::Probe;
    char letter = 0;
    FileSystemChoice choice = FileSystemChoice::Fat16SystemUnit;  // Format
    bool quick = false;                                           // Format
    std::chrono::seconds limit{0};                                // Format, CheckDisk
    std::string label{};                                          // SetLabel, as given
    std::optional<CodePage> codePage{};                           // SetLabel
    std::string folder{};                        // MakeFolder, CopyFiles, VerifyFiles
    std::vector<std::filesystem::path> files{};  // CopyFiles and VerifyFiles, in order
};

class RecordingVolumeTools : public VolumeTools {
  public:
    static constexpr std::uint64_t kDefaultFreeBytes = 1ull << 30;

    // --- scripting ---
    void setProbe(char letter, VolumeProbe probe);
    void setStoredLabel(char letter, std::string label);
    void failNext(VolumeCall kind, std::string reason = "scripted failure");
    void failAlways(VolumeCall kind, std::string reason = "scripted failure");

    // --- what happened ---
    std::vector<RecordedVolumeCall> calls() const;
    std::vector<VolumeCall> kinds() const;
    // The label the model holds now (what label() answers).
    std::string storedLabel(char letter) const;
    void clear();  // forgets the records (not the scripting or the model)

    // --- VolumeTools ---
    VolumeProbe probe(char letter) override;
    VolumeResult refresh(char letter) override;
    VolumeResult format(char letter, FileSystemChoice choice, bool quick,
                        std::chrono::seconds limit) override;
    std::string label(char letter) override;
    VolumeResult setLabel(char letter, const std::string& label,
                          std::optional<CodePage> codePage) override;
    VolumeResult makeFolder(char letter, const std::string& folder) override;
    VolumeResult copyFiles(char letter, const std::vector<std::filesystem::path>& files,
                           const std::string& folder) override;
    VolumeResult verifyFiles(char letter, const std::vector<std::filesystem::path>& files,
                             const std::string& folder) override;
    VolumeResult checkDisk(char letter, std::chrono::seconds limit) override;
    VolumeResult flush(char letter) override;

  private:
    struct Drive {
        VolumeProbe probe{VolumeState::Fat, kDefaultFreeBytes, {}};
        std::string label;
    };

    // Records the call; the scripted failure for it, if any. Called with the mutex held.
    std::optional<std::string> record(RecordedVolumeCall call);

    mutable std::mutex mutex_;
    std::vector<RecordedVolumeCall> calls_;
    std::map<char, Drive> drives_;
    std::map<VolumeCall, std::vector<std::string>> nextFailures_;
    std::map<VolumeCall, std::string> alwaysFailures_;
};

}  // namespace corvid::test
