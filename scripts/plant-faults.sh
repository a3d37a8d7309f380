#!/usr/bin/env bash
# Plants known faults in the product code one at a time and reports which ones the quick tests
# (everything but the real-server and macOS compile checks) catch. Works in a scratch copy of the
# tree, never in the tree itself; the scratch copy goes away when the run ends, also on Ctrl-C.
#
#   scripts/plant-faults.sh                 all faults
#   scripts/plant-faults.sh --only 3,7      some of them
#   scripts/plant-faults.sh --list          the faults, without running anything
#   scripts/plant-faults.sh --rev REV       against the tree of a commit (e.g. the tests before
#                                           a change), instead of the working tree
#   PT_FAULTS_SCRATCH=DIR scripts/...       keep the scratch copy and its build in DIR, so that a
#                                           second run builds incrementally
#
# A fault whose text is no longer in the code is reported "not applied", never "missed": fix its
# entry below when the code moves on.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 - "$PWD" "$@" <<'PYTHON'
import os, re, shutil, signal, subprocess, sys, tempfile, time

# The teardown's end of the tap, and its wait for a start left waiting for sound.
TAP_GONE = "  for (const auto& track : tracks_) track->destroyTap();\n"
START_LEFT = ("  // No header says that the stop, or the end of the device and the tap, ends a start that waits\n"
              "  // for sound. It gets a moment, then is left to return on its own: its thread holds only its\n"
              "  // result, and the recording still ends with its summary. One that returns later finds its\n"
              "  // block's registration and its device gone.\n"
              "  if (starter_.joinable()) {\n"
              "    if (!start_->returned.load())\n"
              "      platform().sleepForTimeInterval(kStartLeftSeconds, start_->returned);\n"
              "    if (start_->returned.load())\n"
              "      starter_.join();\n"
              "    else\n"
              "      starter_.detach();\n"
              "  }\n")

# (file, old text, new text, what the fault is). The old text must occur exactly once.
FAULTS = [
    ("audio/property_access.cpp", "read<std::uint32_t>(selector, 0) == 1;",
     "read<std::uint32_t>(selector, 0) != 0;", "readBool accepts 2 as true"),
    ("audio/property_access.cpp", "  p.releaseString(string);\n  return text;",
     "  return text;", "read string never released"),
    ("audio/property_access.h", "\"读取 Core Audio 属性失败\"", "\"读取 Core Audio 属性出错\"",
     "wrong text of the property read failure"),
    ("processes/inventory.cpp", "  return ids;", "  if (!ids.empty()) ids.pop_back();\n  return ids;",
     "process list read one entry short"),
    ("processes/inventory.cpp", "application && application->localizedName ? *application->localizedName : processName(pid)",
     "processName(pid)", "application's name ignored"),
    ("processes/inventory.cpp", "statusMessage(kProcessListReadFailed, status)",
     "statusMessage(kProcessListReadFailed, 0)", "wrong status in the list read failure"),
    ("targets/keyword_targets.cpp", "               seen.insert(target.pid).second) {",
     "               seen.insert(target.pid).second || true) {", "duplicate pids not dropped"),
    ("targets/keyword_targets.h", "\"未找到音频进程\"", "\"没有找到音频进程\"",
     "wrong text of the not-found message"),
    ("targets/auto_target.cpp", "if (!process.audioActive || process.outputActive == false)",
     "if (process.outputActive == false)", "auto choice takes silent processes"),
    ("targets/auto_target.cpp", "return 20;", "return 60;", "helper scores like an application"),
    ("targets/process_listing.cpp", "return a.first < b.first;", "return a.first > b.first;",
     "listing sorted backwards"),
    ("targets/process_listing.cpp", "if (std::fflush(out) != 0 || std::ferror(out)) writeFailed(errno);",
     "std::fflush(out);", "failed listing write reported as success"),
    ("targets/unicode_text.cpp", "unicode.toLower(icu::Locale::getRoot());",
     "unicode.toLower(icu::Locale(\"tr\"));", "lowercasing by Turkish rules"),
    ("app/arguments.cpp", "result.keyword = toValidUtf8(at(2, kDefaultKeyword));",
     "result.keyword = toValidUtf8(at(2, \"auto\"));", "wrong default keyword"),
    ("app/entry.cpp", "  std::fflush(stderr);\n  return 1;", "  std::fflush(stderr);\n  return 0;",
     "failure exits with status 0"),
    ("recorder/track.cpp", "  platform().destroyProcessTap(tapID_);\n", "",
     "tap not destroyed"),
    ("recorder/process_tap_recorder.cpp",
     "    if (deviceProcID_ != nullptr) {\n      p.deviceStop(aggregateDeviceID_, deviceProcID_);\n",
     "    if (deviceProcID_ != nullptr) {\n      p.destroyIOProcID(aggregateDeviceID_, deviceProcID_);\n      p.deviceStop(aggregateDeviceID_, deviceProcID_);\n",
     "IO proc destroyed before the device stops"),
    ("recorder/file_writer.cpp", "written = file_->writeFromBuffer(piece, error);",
     "written = cycles_.load() == 1 || file_->writeFromBuffer(piece, error);",
     "second cycle counted but not written"),
    ("recorder/process_tap_recorder.cpp", "\" frames=\" + std::to_string(frames)",
     "\" frames=\" + std::to_string(buffers)", "summary reports buffers as frames"),
    ("recorder/track.cpp", "        excludedObjects_.push_back(own);",
     "        (void)own;", "global tap does not exclude the own process"),
    ("recorder/process_tap_recorder.cpp", "  if (deviceLost()) failures.emplace_back(kDeviceLost);\n", "",
     "lost device reported as success"),
    ("recorder/live_status.cpp", "++i) sound = samples[i] != 0.0f;",
     "++i) sound = samples[i] > 0.0f;", "negative samples taken for silence"),
    ("recorder/interruption.cpp", "  sigaction(SIGTERM, &action, &previousTerm);\n", "",
     "SIGTERM not handled"),
    ("recorder/aggregate_description.cpp", "{\"private\", true},", "{\"private\", false},",
     "aggregate device not private"),
    ("audio/sndfile/sndfile_writer.cpp", "    sf_close(file_);  // the exact final header",
     "    // sf_close(file_);", "file never closed"),
    ("audio/sndfile/sink_file.h", "scratch_[std::size_t(f) * channels_ + c] = channel[f];",
     "scratch_[std::size_t(f) * channels_ + (channels_ - 1 - c)] = channel[f];",
     "channels swapped when interleaving"),
    ("recorder/tap_streams.cpp", "systemUptime() >= deadline)", "systemUptime() >= deadline - 10)",
     "the tap's streams not waited for"),
    ("recorder/tap_streams.cpp", "  if (tapsAt(0)) return TapStreams{0, count, total};\n", "",
     "the tap's streams ahead of the sub-device's not found"),
    ("recorder/process_tap_recorder.cpp", "  if (rateChanged()) failures.emplace_back(kRateChanged);\n", "",
     "rate change reported as success"),
    ("recorder/process_tap_recorder.cpp", "    if (unchanged && unchanged()) return;\n", "",
     "a notification that changed nothing ends the recording"),
    ("recorder/process_tap_recorder.cpp", "object, address, notifications_,",
     "object, address, queue_,", "listeners on the IO block's queue"),
    ("recorder/process_tap_recorder.cpp", "[tracker = tapStreams_] { tracker->reread(); }", "[] {}",
     "the tap's streams not read again when the aggregate's change"),
    ("recorder/tap_streams.cpp", "inInputData->mNumberBuffers == at.total",
     "inInputData->mNumberBuffers >= at.first + count", "a list of another length read as the tap's"),
    ("recorder/file_writer.cpp", "if (file_->isFull() && cycles > 1) {", "if (false && cycles > 1) {",
     "a file that fills during a backlog loses the cycles that still fit"),
    # The Linux platform: tried against a private PulseAudio server as well (SERVER_FAULTS).
    ("audio/pulse/pulse_processes.cpp", "    if (input.pid != 0) continue;\n", "",
     "Linux: a stream with its own pid attributed to its client's"),
    ("audio/pulse/pulse_device.cpp", "    if (samples) {\n      device.mixer_.push(",
     "    static int fragments = 0;\n    if (samples && ++fragments % 10 == 0) {\n    } else if (samples) {\n      device.mixer_.push(",
     "Linux: every tenth fragment dropped"),
    ("audio/pulse/pulse_device.cpp", "    watch->ended = true;  // the stream it watched is gone; the slot plays out and frees\n    watch->device->mixer_.closeStream(watch->slot);\n",
     "", "Linux: a monitor stream's end never signalled"),
    ("audio/pulse/pulse_device.cpp", "pa_stream_new(context, \"process-tap monitor\", &format, nullptr);",
     "pa_stream_new(context, \"process-tap monitor\", &format, [] {\n    static pa_channel_map swapped;\n    pa_channel_map_init_stereo(&swapped);\n    std::swap(swapped.map[0], swapped.map[1]);\n    return &swapped;\n  }());",
     "Linux: left and right swapped"),
    ("audio/pulse/thread_signals.h", "~Restore() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }",
     "~Restore() {}", "Linux: the stop signals stay blocked in the main thread"),
    ("audio/pulse/pulse_platform.cpp", "    for (auto& [id, device] : devices_) device->lose();\n", "",
     "Linux: a lost server does not end the device"),
    ("audio/pulse/stream_mixer.cpp", "    consumerDropped.fetch_add(frames * refused.load(std::memory_order_relaxed),\n                              std::memory_order_relaxed);\n",
     "", "Linux: streams beyond the limit not counted as lost"),
    ("targets/auto_target.cpp", " || process.outputActive == false) return true;", ") return true;",
     "auto choice takes a process that only records"),
    # The real-time path: every lost frame counted, teardown off the IO queue, the watchdog, the
    # interruptible start.
    ("recorder/io_capture.cpp", "if (gap >= 0.5) placeSilence(", "if (gap >= 1e300) placeSilence(",
     "cycles the device skipped neither counted nor placed"),
    ("recorder/io_capture.cpp", "    overflow_.fetch_add(taken, std::memory_order_relaxed);",
     "    (void)taken;", "frames the full ring refused not counted"),
    ("recorder/io_capture.cpp", "constexpr double kRingSeconds = 2;",
     "constexpr double kRingSeconds = 0.2;", "ring too short to absorb a stalled write"),
    ("recorder/process_tap_recorder.cpp", "      droppedFrames_ += p.droppedFrames(aggregateDeviceID_);\n",
     "", "the platform's dropped frames ignored"),
    ("recorder/process_tap_recorder.cpp",
     "    cleanup();  // here, on the calling thread, before anything else can hold the recorder\n",
     "", "a failed run leaves its teardown to whoever drops the recorder last"),
    ("recorder/process_tap_recorder.cpp",
     "    if (deviceProcID_ != nullptr) {\n      p.deviceStop(aggregateDeviceID_, deviceProcID_);",
     "    p.deviceStop(aggregateDeviceID_, deviceProcID_);\n    if (deviceProcID_ != nullptr) {",
     "device stopped without a registered IO block"),
    ("recorder/process_tap_recorder.cpp", "quiet = cycles == seen ? quiet + slice : 0;",
     "quiet = quiet + slice;", "watchdog counts quiet time while cycles come"),
    ("recorder/process_tap_recorder.cpp", "if ((track->writer().cycles() > 0 || startInterrupted_) &&",
     "if ((track->writer().cycles() > 0) &&", "a start interrupted while it waited says nothing of silence"),
    ("recorder/process_tap_recorder.cpp",
     "    quiet = cycles == seen ? quiet + slice : 0;\n    seen = cycles;",
     "    static double last = 0;\n    const double now = platform().systemUptime() + 0 * slice;\n"
     "    quiet = cycles == seen ? quiet + (now - last) : 0;\n    last = now;\n    seen = cycles;",
     "watchdog takes a stopped recorder's pause for a silent device"),
    ("recorder/io_capture.cpp", "if (!pushed && mayWait_) {", "if (false) {",
     "a burst off a real-time thread dropped instead of waiting for the writer"),
    # One time line: every gap in its place, nothing invented, a stopped server waited for.
    ("recorder/io_capture.cpp", "  owed_.fetch_add(placed, std::memory_order_relaxed);\n", "",
     "lost audio counted but not placed as silence"),
    ("recorder/io_capture.cpp", "    if (timed)\n      unreadSince_ = true;", "    if (false)\n      unreadSince_ = true;",
     "an unreadable cycle's length taken from the cycle before, not the time stamps"),
    ("recorder/file_writer.cpp", "      owed_ += frames - done;\n", "",
     "frames the file refused leave no silence in their place"),
    ("audio/simulated/simulated_devices.h", "return writerClock >= *stallUntil || clockRunsOn;",
     "return writerClock >= *stallUntil;", "the model's writer clock stops with the device"),
    ("audio/pulse/stream_mixer.cpp", "        if (gap.at <= r) {", "        if (gap.at <= r - 1) {",
     "Linux: a gap plays one frame late"),
    ("audio/pulse/pulse_device.cpp", "constexpr Clock::duration kGrace = 1s;", "constexpr Clock::duration kGrace = 0s;",
     "Linux: a server that answers after a stop is taken for silent streams"),
    ("audio/pulse/pulse_device.cpp", "constexpr Clock::duration kUnanswered = 10s;",
     "constexpr Clock::duration kUnanswered = 2s;", "Linux: a server stopped for 3 s ends the recording"),
    ("audio/pulse/pulse_device.cpp", "    mixer_.skip(watch.slot, pushedBefore(framesOf(info->write_index)), rendered - queued, true);\n",
     "    (void)pushedBefore;\n", "Linux: what a full PulseAudio queue refused spliced out unreported"),
    # Notifications after the end, a start that never returns, the file's processing format.
    ("recorder/process_tap_recorder.cpp",
     "    const std::shared_ptr<ProcessTapRecorder> self = weak.lock();\n    if (!self) return;\n    if (unchanged && unchanged()) return;\n",
     "    if (unchanged && unchanged()) return;\n    const std::shared_ptr<ProcessTapRecorder> self = weak.lock();\n    if (!self) return;\n",
     "a notification after the end reads through a platform that is gone"),
    ("recorder/process_tap_recorder.cpp",
     "    if (!start_->returned.load())\n      platform().sleepForTimeInterval(kStartLeftSeconds, start_->returned);\n    if (start_->returned.load())\n      starter_.join();\n    else\n      starter_.detach();\n",
     "    starter_.join();\n", "teardown waits for ever on a start that never returns"),
    ("recorder/process_tap_recorder.cpp", TAP_GONE + START_LEFT, START_LEFT + TAP_GONE,
     "the tap destroyed only after the wait for the start"),
    ("recorder/track.cpp", "processing && !writesAlike(*processing, *format_))",
     "processing && false)", "a file that refuses the buffer's format recorded into"),
    ("audio/file_settings.cpp", "if (settings->formatID == kAudioFormatMPEG4AAC && sampleRate > kAACMaxRate) {", "if (false) {",
     "AAC asked for above 48 kHz"),
    # The Linux file writer: a full disk, the readers, a killed writer.
    ("audio/sndfile/file_sink.cpp", "    tailStart_ += std::size_t(n);\n    onDisk_ += n;\n  }",
     "    tailStart_ += std::size_t(n);\n    onDisk_ += n;\n  }\n  if (!written) onDisk_ += std::int64_t(held()), tailStart_ = tail_.size();",
     "bytes a full disk refused dropped instead of held"),
    ("audio/sndfile/sink_file.h", "if (!sink_->fits(bytes) && (sink_->flush(), !sink_->fits(bytes))) {",
     "if (false) {", "a full disk held without bound, nothing refused"),
    ("audio/sndfile/sink_file.h", "\"%s\", sink_->reason());", "\"%s\", \"No Error.\");",
     "a refused write without the system's reason"),
    ("audio/sndfile/sndfile_writer.cpp", "    if (floats_) sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);\n", "",
     "float headers not kept up to date for a killed writer"),
    ("audio/sndfile/sndfile_writer.cpp", "    if (flac()) setFLACLength(flacSamples_, false);\n", "",
     "a killed FLAC states no length"),
    ("audio/sndfile/sndfile_writer.cpp", "      plainFloatFormat(header_, std::size_t(bytes));\n", "",
     "float WAVE's fmt chunk as sox warns of"),
    ("audio/sndfile/vorbis_file.cpp", "const bool due = end || packet.granulepos - pageGranule_ >= pageFrames_;",
     "const bool due = end;", "Ogg Vorbis pages only when full"),
    ("audio/sndfile/sndfile_writer.cpp", "      sf_command(file_, SFC_FILE_TRUNCATE, &frames, sizeof frames);  // what the header counts\n",
     "", "a float file cut on a full disk whose header counts what was lost"),
    # The usage line after the command line's mistakes only; messages that say what to do; a
    # manual page and a README that show what the tool prints.
    ("app/entry.cpp", "  if (mistake) printLine(usageLine(", "  printLine(usageLine(",
     "usage line after every failure"),
    ("targets/keyword_targets.cpp", "toValidUtf8(piece),\n                   TextError::Blame::commandLine);",
     "toValidUtf8(piece));", "a keyword that matches nothing ends without the usage line"),
    ("app/entry.cpp", "    else\n      requireOutputFile(path);\n", "    else\n      ;\n",
     "the output path checked only once the recording is set up"),
    ("app/entry.cpp", "  if (fs::is_directory(path, error)) throw mistake(\"这是一个文件夹，不是文件\");\n", "",
     "a folder as the output path not named as one"),
    ("audio/file_settings.cpp",
     "if (platform().writesAudioFile(*typicalSettingsFor(extension))) written.push_back(extension);",
     "written.push_back(extension);", "extensions the platform does not write listed as written"),
    ("audio/pulse/pulse_platform.cpp", "    unreachable_ = !reached_;\n", "",
     "Linux: an unreachable server not explained"),
    ("targets/unicode_text.cpp", "\"Unicode 文本过长\"", "\"Unicode 文本太长\"",
     "a message the manual page does not give"),
    ("examples/music-and-radio.json", ",\n  \"tone\": {\"71\": 440, \"72\": 660}", "",
     "the README's example scenario silent"),
    # A recording of several tracks.
    ("app/output_paths.cpp", "keys.push_back(scalarOrderKey(lowercased(name)));", "keys.push_back(name);",
     "two targets whose names differ in case write one file on macOS"),
    ("app/output_paths.cpp", "c == '/' || c == '\\0'", "c == '\\0'",
     "a / in a target's name makes a folder of the file name"),
    ("recorder/tap_streams.cpp", "inInputData->mBuffers + at.first + part.offset", "inInputData->mBuffers + at.first",
     "every track reads the first tap's buffers"),
    ("audio/pulse/stream_mixer.cpp", "play(s, w, outs[s.output] + offset * channels, frames)",
     "play(s, w, outs[0] + offset * channels, frames)", "every stream mixed into the first tap's output"),
    ("targets/keyword_targets.cpp", "if (found.empty()) throw notFound(piece);", "",
     "an exclusion that matches nothing records everything"),
    ("targets/keyword_targets.cpp", "  if (excluding)\n    if (auto target", "  if (false)\n    if (auto target",
     "an exclusion beside a target is taken"),
    ("recorder/track.cpp", "    excludedObjects_ = processObjects(source_.excluded);\n", "",
     "the exclusions never reach the global tap"),
    # The recording on standard output.
    ("audio/wav_stream.cpp", "  putTag(at, \"data\");\n  put32(at, kUnknownSize);", "  putTag(at, \"data\");\n  put32(at, 0);",
     "the stream's data size is stated as nothing"),
    ("audio/wav_stream.cpp", "staging_[std::size_t(f) * channels_ + c] = plane[f]", "staging_[std::size_t(c) * n + f] = plane[f]",
     "a planar buffer goes out planar"),
    ("audio/wav_stream.cpp", "readerGone_ = readerGone_ || error == EPIPE;", "",
     "a reader that went away is taken for a failed write"),
    ("recorder/process_tap_recorder.cpp", "std::FILE* out = audioOnStdout ? stderr : stdout;", "std::FILE* out = stdout;",
     "the summary goes into the audio stream"),
    ("app/entry.cpp", "  if (path == kPipeOutput) return path;\n", "", "OUTPUT - is a file named - in the current folder"),
    ("audio/wav_stream.cpp", "      ::poll(&room, 1, -1);\n      continue;", "      break;",
     "a non-blocking standard output loses audio"),
    ("recorder/input_mix.cpp", "out[std::size_t(f) * perPlane + c] = in[std::size_t(f) * perPlane + c] + voice;",
     "out[std::size_t(f) * perPlane + c] = in[std::size_t(f) * perPlane + c];", "the microphone is left out of the mix"),
    ("recorder/input_mix.cpp", "            voice /= float(self->channels_);\n", "",
     "an input's channels are summed, not averaged, into the mix"),
    ("recorder/input_mix.cpp", "      time.mSampleTime += n;\n", "",
     "the slices of a long cycle share one time stamp"),
    ("recorder/input_mix.cpp", "[](float sample) { return sample != 0; })", "[](float sample) { return sample > 1; })",
     "a microphone that hears sound is taken for a silent one"),
    ("recorder/process_tap_recorder.cpp", "                   domain == 0 || domain != clockDomain(outputDevice)};",
     "                   false};", "an input device on another clock joins without drift compensation"),
    ("recorder/process_tap_recorder.cpp", "  if (inputTrack && inputTrack->source().input->uid != outputUID) {",
     "  if (inputTrack) {", "a headset's own microphone is listed twice"),
    ("targets/keyword_targets.cpp", "lowered.empty() ? device.isDefault :", "lowered.empty() ? true :",
     "@ takes the first input device, not the default one"),
    ("targets/keyword_targets.cpp", "    if (resolved.input && resolved.input->objectID != device.objectID)",
     "    if (false)", "a second input device replaces the first"),
    ("app/output_paths.cpp", "    tags.emplace_back(\"input\");", "    tags.emplace_back(\"\");",
     "an input device named like a target gets no file name of its own"),
    ("recorder/process_tap_recorder.cpp", "    if (ran && track->inputMix() && !track->inputMix()->heardSound())",
     "    if (false)", "a silent microphone is not diagnosed"),
    ("recorder/cycle_ring.cpp", "  if (cycle == poppedCycles && pushed % frames_ != 0) {",
     "  if (false) {", "the ring never starts again at its beginning: all of it is mapped in"),
    ("recorder/io_capture.cpp", "unsignalled_ >= writerBatchFrames_ ||", "true ||",
     "the writer is woken for every cycle"),
    ("recorder/process_tap_recorder.cpp", "  if (durationSeconds_ > 0)\n    platform().deviceWillStopAt(",
     "  if (false)\n    platform().deviceWillStopAt(", "the platform is not told where the recording ends"),
    ("audio/pulse/pulse_device.cpp", "    if (serverHanded > std::exchange(serverHandedSeen, serverHanded)) {",
     "    if (false) {", "the queue counts a stall through what the server's thread handed meanwhile"),
    ("audio/sndfile/sndfile_writer.cpp", "(settings.isBigEndian ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE)",
     "0", "a .caf is written big-endian, libsndfile's default"),
]

QUICK_TESTS = "test_pulse|heavy_pulse|macos|test_large_file"  # labels left out: a real server,
# compiling for macOS, or hours of audio through the disk (too slow unoptimised; no fault here)
# Faults under this folder also run the Linux platform's tests (label test_pulse) against a private
# PulseAudio server that the script starts, since most of them show only against a real server.
SERVER_FAULTS = "audio/pulse/"
SERVER_TARGETS = ["process-tap", "test_pulse", "test_pulse_mixer", "test_pulse_processes"]


def main():
    root, args = sys.argv[1], sys.argv[2:]
    only, rev = None, None
    usage = "usage: scripts/plant-faults.sh [--list] [--only N[,N...]] [--rev REV]"
    while args:
        if args[0] == "--list":
            for n, (path, _, _, what) in enumerate(FAULTS, 1):
                print(f"{n:3}  {path:40} {what}")
            return 0
        if args[0] in ("--only", "--rev") and len(args) > 1:
            if args[0] == "--only":
                only = {int(n) for n in args[1].split(",")}
            else:
                rev = args[1]
            args = args[2:]
        else:
            print(usage, file=sys.stderr)
            return 2

    chosen = [f for n, f in enumerate(FAULTS, 1) if not only or n in only]
    server = None  # the private server's environment, when a chosen fault needs it
    keep = os.environ.get("PT_FAULTS_SCRATCH")
    scratch = os.path.abspath(keep) if keep else tempfile.mkdtemp(prefix="pt-plant-faults.")
    restore = {}  # path -> original text of the fault in place, if any
    try:
        copy_tree(root, scratch, rev)
        build = os.path.join(scratch, "build")
        # Unoptimised and without debug information: each fault rebuilds and relinks quickest.
        run(["cmake", "-S", scratch, "-B", build, "-DCMAKE_BUILD_TYPE=None",
             "-DCMAKE_CXX_FLAGS=-O0 -g0", "-DPT_WERROR=OFF"], quiet=True)
        targets = quick_targets(build)
        if any(f[0].startswith(SERVER_FAULTS) for f in chosen):
            server = start_server(root)
            targets += SERVER_TARGETS
        print(f"scratch copy: {scratch}; building {len(targets)} test targets", flush=True)
        if not build_ok(build, targets):
            print("the unchanged copy does not build", file=sys.stderr)
            return 1
        failed = run_tests(build) + (run_server_tests(build, server) if server else [])
        if failed:
            print("the unchanged copy fails tests: " + ", ".join(failed), file=sys.stderr)
            return 1

        rows = []
        for n, (path, old, new, what) in enumerate(FAULTS, 1):
            if only and n not in only:
                continue
            start = time.monotonic()
            file = os.path.join(scratch, path)
            text = open(file, encoding="utf-8").read()
            if text.count(old) != 1:
                result, by = "not applied", f"text found {text.count(old)} times"
            else:
                restore[file] = text
                write(file, text.replace(old, new))
                if not build_ok(build, targets):
                    result, by = "not applied", "does not build"
                else:
                    failed = run_tests(build)
                    if path.startswith(SERVER_FAULTS):
                        failed += run_server_tests(build, server)
                    result = "caught" if failed else "MISSED"
                    by = ", ".join(failed[:3]) + (" ..." if len(failed) > 3 else "")
                write(file, restore.pop(file))
            rows.append((n, path, what, result, by))
            print(f"{n:3} {result:11} {what} ({time.monotonic() - start:.0f} s) {by}", flush=True)

        print()
        print("| # | file | fault | result | first tests that fail |")
        print("|---|---|---|---|---|")
        for n, path, what, result, by in rows:
            print(f"| {n} | {path} | {what} | {result} | {by} |")
        applied = [r for r in rows if r[3] != "not applied"]
        caught = [r for r in applied if r[3] == "caught"]
        print()
        if len(applied) != len(rows):
            print(f"not applied: {len(rows) - len(applied)} (the code moved on; fix those entries)")
        print(f"caught {len(caught)} of {len(applied)}")
        return 0 if len(applied) == len(rows) and len(caught) == len(applied) else 1
    finally:
        for file, text in restore.items():
            write(file, text)
        if server:
            subprocess.run(["bash", os.path.join(root, "scripts/pulse-test-server.sh"), "stop"],
                           env=dict(os.environ, **server), stdout=subprocess.DEVNULL)
        if not keep:
            shutil.rmtree(scratch, ignore_errors=True)


def copy_tree(root, scratch, rev):
    """The tracked and new files of the tree, or the files of commit `rev`. Unchanged files keep
    their time, so that a kept scratch copy rebuilds only what changed; files the source does
    not have go."""
    git = ["git", "-C", root]
    if rev:
        listed = subprocess.run(git + ["ls-tree", "-r", "-z", "--name-only", rev], check=True,
                                capture_output=True).stdout
    else:
        listed = subprocess.run(git + ["ls-files", "-z", "--cached", "--others",
                                       "--exclude-standard"], check=True, capture_output=True).stdout
    names = [n for n in listed.decode().split("\0") if n]
    if not rev:  # deleted, not yet committed
        names = [n for n in names if os.path.isfile(os.path.join(root, n))]
    for name in names:
        source, target = os.path.join(root, name), os.path.join(scratch, name)
        if rev:
            data = subprocess.run(git + ["show", f"{rev}:{name}"], check=True,
                                  capture_output=True).stdout
        else:
            data = open(source, "rb").read()
        if os.path.isfile(target) and open(target, "rb").read() == data:
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(data)
        if name.endswith(".sh"):
            os.chmod(target, 0o755)
    wanted = set(names)
    for directory, subdirectories, files in os.walk(scratch):
        if directory == scratch:
            subdirectories[:] = [d for d in subdirectories if d != "build"]
        for f in files:
            path = os.path.join(directory, f)
            if os.path.relpath(path, scratch) not in wanted:
                os.remove(path)


def write(file, text):
    with open(file, "w", encoding="utf-8") as out:
        out.write(text)


def run(command, quiet=False, **kwargs):
    out = subprocess.DEVNULL if quiet else None
    return subprocess.run(command, check=True, stdout=out, **kwargs)


def quick_targets(build):
    """The test executables that need no sound server, and the scenario runner."""
    help_text = subprocess.run(["cmake", "--build", build, "--target", "help"], check=True,
                               capture_output=True, text=True).stdout
    tests = {t for t in re.findall(r"\.\.\. (test_\w+)", help_text) if not re.match(QUICK_TESTS, t)}
    return sorted(tests | {"process-tap-sim"})


def build_ok(build, targets):
    jobs = os.environ.get("PT_FAULTS_JOBS", "2")
    done = subprocess.run(["nice", "cmake", "--build", build, "-j", jobs, "--target", *targets],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return done.returncode == 0


def run_tests(build):
    """The names of the failing tests."""
    jobs = os.environ.get("PT_FAULTS_JOBS", "2")
    done = subprocess.run(["ctest", "--test-dir", build, "-LE", QUICK_TESTS, "-E", "_NOT_BUILT$", "-j", jobs,
                           "--timeout", "60"], capture_output=True, text=True,
                          env=dict(os.environ, PT_REQUIRE_SOUND_SERVER="0"))
    if done.returncode == 0:
        return []
    failed = re.findall(r"^\s*\d+ - (\S+) \(", done.stdout, re.M)
    return failed or ["(ctest failed: " + done.stdout[-200:].strip() + ")"]


def start_server(root):
    """Starts a private PulseAudio server; the variables that reach it and stop it."""
    done = subprocess.run(["bash", "-c", "source scripts/pulse-test-server.sh start >/dev/null && "
                           "env | grep -E '^(PT_PULSE_DIR|PULSE_|XDG_RUNTIME_DIR)='"],
                          cwd=root, check=True, capture_output=True, text=True)
    return dict(line.split("=", 1) for line in done.stdout.splitlines())


def run_server_tests(build, server):
    """The names of the failing tests of the Linux platform, against the private server."""
    jobs = os.environ.get("PT_FAULTS_JOBS", "2")
    done = subprocess.run(["ctest", "--test-dir", build, "-L", "test_pulse", "-j", jobs,
                           "--timeout", "120"], capture_output=True, text=True,
                          env=dict(os.environ, PT_REQUIRE_SOUND_SERVER="1", **server))
    if done.returncode == 0:
        return []
    failed = re.findall(r"^\s*\d+ - (\S+) \(", done.stdout, re.M)
    return failed or ["(ctest failed: " + done.stdout[-200:].strip() + ")"]


def stop(signum, frame):
    raise KeyboardInterrupt


signal.signal(signal.SIGTERM, stop)
try:
    sys.exit(main())
except KeyboardInterrupt:
    print("\ninterrupted; the planted fault is taken out again", file=sys.stderr)
    sys.exit(130)
PYTHON
