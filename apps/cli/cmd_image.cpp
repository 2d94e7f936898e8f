// corvid-cli image: builds hidden-disk images ("5VX6 IMG") from PC files and folders, shows what
// an image holds, and writes one of its volumes as a flat file any FAT tool can read.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "apps/cli/commands.h"
#include "image/image_builder.h"
#include "image/image_file.h"
#include "platform/terminal.h"
#include "station/image_tool_messages.h"
#include "station/messages.h"

namespace corvid::cli {

namespace {

struct BuildOptions {
    std::string label = "PASS WD";  // the image tool's defaults
    std::uint32_t sizeMb = 64;
    std::string output;
    std::string codePage = "ascii";
    std::vector<std::string> paths;
};

struct ExtractOptions {
    std::string image;
    std::uint32_t sectorSize = 512;
    std::string output;
};

ShortNameCodePage codePageOf(const std::string& name) {
    if (name == "gbk") {
        return CodePage::Gbk;
    }
    if (name == "big5") {
        return CodePage::Big5;
    }
    return std::nullopt;
}

// A live line on a terminal once a build runs long enough to want one.
class ProgressLine {
  public:
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}

    void update(const ImageBuildProgress& state) {
        if (!enabled_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < std::chrono::milliseconds(300) ||
            now - last_ < std::chrono::milliseconds(100)) {
            return;
        }
        last_ = now;
        std::printf("\r%u-byte volume: %zu of %zu files, %.1f MiB ", state.sectorSize,
                    state.filesDone, state.filesTotal,
                    static_cast<double>(state.bytesDone) / (1024.0 * 1024.0));
        std::fflush(stdout);
        shown_ = true;
    }

    void clear() {
        if (shown_) {
            std::printf("\r\033[K");
            std::fflush(stdout);
        }
    }

  private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_{};
};

std::string describeEntry(const ImageEntry& entry) {
    if (entry.sectorSize == 0) {
        return "empty";
    }
    return std::to_string(entry.sectorSize) + "-byte sectors, " +
           std::to_string(entry.recordCount) + " records from offset " +
           std::to_string(entry.offset);
}

int runBuild(const BuildOptions& options) {
    ImageBuildRequest request;
    request.label = options.label;
    request.diskSizeMb = options.sizeMb;
    request.output = options.output;
    request.codePage = codePageOf(options.codePage);
    for (const auto& path : options.paths) {
        request.items.emplace_back(path);
    }

    // A folder that is not there is the operator's input, as a missing input file is.
    std::error_code missing;
    if (const auto folder = request.output.parent_path();
        !folder.empty() && !std::filesystem::is_directory(folder, missing)) {
        std::cerr << "corvid-cli image build: the folder " << folder.string()
                  << " of the image file does not exist\n";
        return kExitBadInput;
    }
    ProgressLine line(standardOutputIsTerminal());
    const ImageBuildResult result =
        buildImage(request, [&line](const ImageBuildProgress& state) { line.update(state); });
    line.clear();

    if (result.status != ImageBuildStatus::Success) {
        // One line: the detail names the file and the reason; the window's box texts beside it
        // ("Image outputFail") say less.
        if (!result.detail.empty()) {
            std::cerr << "corvid-cli image build: " << result.detail << "\n";
        } else {
            for (const auto& message : imageToolMessages(result, kLanguageEnglish)) {
                std::cerr << "corvid-cli image build: " << message.text << "\n";
            }
        }
        return result.status == ImageBuildStatus::BadInput ? kExitBadInput : kExitFailed;
    }
    const ImageHeader header = readImageHeader(request.output);
    for (const auto& message : imageToolMessages(result, kLanguageEnglish)) {
        std::cout << message.text << "\n";
    }
    std::cout << request.output.string() << ": " << header.diskSizeMb << " MB; "
              << describeEntry(header.entries[0]) << "; " << describeEntry(header.entries[1])
              << "\n";
    return kExitOk;
}

int runInfo(const std::string& path) {
    try {
        const ImageHeader header = readImageHeader(path);
        std::cout << "file:       " << path << " (" << std::filesystem::file_size(path)
                  << " bytes)\n"
                  << "magic:      " << kImageMagic << "\n"
                  << "disk size:  " << header.diskSizeMb << " MB\n";
        for (std::size_t i = 0; i < header.entries.size(); ++i) {
            std::cout << "entry " << i << ":    " << describeEntry(header.entries[i]) << "\n";
        }
        return kExitOk;
    } catch (const ImageFileError& e) {
        std::cerr << "corvid-cli image info: " << e.what() << "\n";
        return kExitBadInput;
    }
}

int runExtract(const ExtractOptions& options) {
    try {
        checkExtraction(options.image, options.sectorSize, options.output);
    } catch (const ImageFileError& e) {
        std::cerr << "corvid-cli image extract: " << e.what() << "\n";
        return kExitBadInput;
    }
    try {
        extractVolume(options.image, options.sectorSize, options.output);
    } catch (const std::exception& e) {
        std::cerr << "corvid-cli image extract: " << e.what() << "\n";
        return kExitFailed;
    }
    std::cout << options.output << ": the " << options.sectorSize << "-byte volume of "
              << options.image << "\n";
    return kExitOk;
}

}  // namespace

void addImageCommand(CLI::App& app, int& exitStatus) {
    CLI::App* image =
        app.add_subcommand("image", "Build, inspect and extract hidden-disk images (5VX6 IMG)");
    image->require_subcommand(1);

    // The options live as long as the command tree whose callbacks use them.
    auto build = std::make_shared<BuildOptions>();
    CLI::App* buildCommand = image->add_subcommand(
        "build", "Build an image of 512- and 1024-byte sector volumes from files and folders");
    buildCommand->add_option("--label", build->label, "Volume label, at most 8 characters")
        ->capture_default_str();
    buildCommand->add_option("--size", build->sizeMb, "Disk size in MB: 32 to 2048 in steps of 8")
        ->capture_default_str()
        ->check(CLI::Range(kImageMinSizeMb, kImageMaxSizeMb))
        ->check(CLI::Validator(
            [](std::string& value) -> std::string {
                const bool multiple = value.find_first_not_of("0123456789") == std::string::npos &&
                                      !value.empty() && std::stoul(value) % kImageSizeStepMb == 0;
                return multiple ? std::string()
                                : "the disk size " + value + " MB is not a multiple of 8 MB";
            },
            "MULTIPLE OF 8"));
    buildCommand->add_option("--out", build->output, "The image file to write")->required();
    buildCommand
        ->add_option("--code-page", build->codePage,
                     "Code page of 8.3 names and the label: ascii (other characters become _), "
                     "gbk or big5")
        ->capture_default_str()
        ->check(CLI::IsMember({"ascii", "gbk", "big5"}));
    buildCommand->add_option("paths", build->paths,
                             "Files and folders for the hidden disk, in order");
    buildCommand->callback([&exitStatus, build] { exitStatus = runBuild(*build); });

    auto info = std::make_shared<std::string>();
    CLI::App* infoCommand =
        image->add_subcommand("info", "Show an image's header, entries and record counts");
    infoCommand->add_option("file", *info, "The image file")->required();
    infoCommand->callback([&exitStatus, info] { exitStatus = runInfo(*info); });

    auto extract = std::make_shared<ExtractOptions>();
    CLI::App* extractCommand = image->add_subcommand(
        "extract", "Write the volume of one sector size as a flat file for FAT tools");
    extractCommand->add_option("file", extract->image, "The image file")->required();
    extractCommand->add_option("--sector-size", extract->sectorSize, "512 or 1024")
        ->required()
        ->check(CLI::IsMember({512, 1024}));
    extractCommand->add_option("out", extract->output, "The flat volume file to write")->required();
    extractCommand->callback([&exitStatus, extract] { exitStatus = runExtract(*extract); });
}

}  // namespace corvid::cli
