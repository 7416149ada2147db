// stbsim: a simulated set-top box on a pseudo-terminal, for testing the downloader without hardware.
//
// It opens a pty, prints "PTY /dev/pts/N" as its first stdout line, and plays the box on it: console output,
// the programming run, taking a data file from the PC and uploading data to it. Everything it observes is
// reported on stdout, one event per line, so that a test can follow the box's view of each exchange.
//
// Options (all optional):
//   --baud N               pace both directions at N baud, 10 bits per byte (0 or absent: unpaced)
//   --turnaround-ms N      delay before each protocol item the box sends (1)
//   --banner TEXT          console text sent once, --banner-delay-ms after the first client opened the device
//                          (\r \n \t \\ \xNN are understood); default: a short boot banner
//   --no-banner            no banner
//   --banner-delay-ms N    (100) the PC purges its queues right after opening the port
//   --chatter-ms N         while idle, a console line every N ms (0: off)
//   --stream-lines N       while idle, N numbered console lines back to back at the line rate (a load to
//                          check the PC against: "S" and the line number in 8 digits, then a fixed text)
//   --echo                 echo typed console characters (CR or LF as CR LF)
//   --sectors N            sector count announced for a programming run; default: the image's size in
//                          4096-byte sectors rounded up, or 16 without an image
//   --image FILE           the image the box expects; each sector is compared with it
//   --order seq|random|repeat, --seed N (1)
//                          order of the sector requests: in turn, each once in random order, or in turn with
//                          some sectors requested again
//   --save FILE            write a data file taken from the PC to FILE (only when its checksum matched)
//   --upload FILE          what the box uploads; without it --upload-size N (40000) bytes derived from --seed
//   --upload-on TEXT       console line that starts an upload ("m:upload")
//   --upload-after-ms N    start one upload N ms after the first client connected
//   --lead-gap-ms N        (20) pause between the CR that opens the PC's data phase and the upload data
//   --timeout-ms N         how long the box waits for the PC at each step (5000); for raw data, per piece
//   --fault KIND           repeatable: noise | bad-sum | oversize | wrong-token[@STEP] | hangup@PHASE |
//                          split[@SEED] | late-cr@size | drop@N | flip@N
//   --exit-after-program, --exit-after-take, --exit-after-upload
//                          exit 0 once that exchange has ended, however it ended
//   --keep-open            after the client closed the device, wait for the next one instead of exiting
// Without an exit-after option stbsim runs until the client closes the device, or SIGTERM/SIGINT.
//
// Events (values escaped: bytes outside '!'..'~' and '\' as \xNN; sums in SECTOR are hex, elsewhere decimal):
//   PTY /dev/pts/N                      first line, before anything else
//   CONNECTED / DISCONNECTED            a client opened / closed the device
//   LINE text=                          a console line the PC typed (empty lines are not reported)
//   COMMAND kind=                       a programming command line; the run follows
//   STRAY bytes= data=                  bytes that arrived while no sector was requested
//   SECTOR n= bytes= sum= got= ok= match=   one sector reception (got=- when incomplete; match=- without
//   image) PROGRAM kind= sectors= requests= ok= bad= failed= image=match|mismatch|none
//   end=stop|timeout|client-closed TAKE_BEGIN                          the PC's request frame arrived TAKE
//   size= sum= got= ok= [saved=]   data taken; ok=1 when the PC's checksum matched ("s:done!" sent)
//   TAKE_ABORT reason=timeout|protocol|too-large|client-closed phase=
//   UPLOAD_BEGIN size=                  the box starts an upload
//   UPLOAD size= sum= done=             done=1 when the PC confirmed with "s:done!"
//   UPLOAD_ABORT reason=timeout|protocol|client-closed phase=
//   PROTOCOL_ERROR phase= expected= got=
//   TIMEOUT phase=
//   HANGUP phase=                       a planned hang-up: the master is closed and stbsim exits
//   EXIT reason=signal|client-closed|hangup|exit-after-program|exit-after-take|exit-after-upload
// tools/stbsim/README.md has the phases, the fault points and the box's timing rules.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "idle.h"
#include "options.h"
#include "report.h"

namespace {

using namespace stbsim;

std::optional<Bytes> readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

Bytes generatedUpload(const Options& options) {
    std::mt19937 random(options.seed);
    Bytes data(options.uploadSize);
    for (auto& byte : data) byte = static_cast<uint8_t>(random());
    return data;
}

// Loads the files named on the command line; a message when one cannot be read.
std::optional<std::string> loadInputs(const Options& options, Inputs& inputs) {
    if (!options.imagePath.empty() && !(inputs.image = readFile(options.imagePath)))
        return "cannot read image " + options.imagePath;
    if (options.uploadPath.empty()) {
        inputs.upload = generatedUpload(options);
    } else if (auto data = readFile(options.uploadPath)) {
        inputs.upload = std::move(*data);
    } else {
        return "cannot read upload data " + options.uploadPath;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parseOptions(argc, argv);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        std::fprintf(stderr, "stbsim: %s\n%s", error->c_str(), usageText());
        return 2;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("stbsim, the simulated box of Downloader %s\n", STBSIM_VERSION);
        return 0;
    }
    Inputs inputs;
    if (auto error = loadInputs(options, inputs)) {
        std::fprintf(stderr, "stbsim: %s\n", error->c_str());
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        Line line(options.baud);
        if (options.faults.split) line.splitWrites(options.faults.splitSeed.value_or(options.seed));
        line.spoilByte(options.faults.dropByte, options.faults.flipByte);
        emitLine("PTY " + line.devicePath());
        return runBox(options, inputs, line);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "stbsim: %s\n", error.what());
        return 1;
    }
}
