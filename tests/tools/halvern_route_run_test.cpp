// halvern-route run as a user runs it, on the simulated machine: its summary must tell what was fed
// in, and its recordings must be in each device's own format.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string RunTool(const std::string& arguments, int* status) {
  const std::string command = std::string(HALVERN_ROUTE_PROGRAM) + " " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return "popen failed";
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return output;
}

// The summary's rows by device name, each as its whitespace-separated fields: the lines between
// the table's head and its "ring overflows" line.
std::map<std::string, std::vector<std::string>> SummaryRows(const std::string& output) {
  std::map<std::string, std::vector<std::string>> rows;
  std::istringstream lines(output.substr(output.find("\ndevice ") + 1));
  std::string line;
  for (std::getline(lines, line); std::getline(lines, line) && line.rfind("ring overflows", 0);) {
    std::istringstream fields(line);
    std::vector<std::string> row;
    for (std::string f; fields >> f;) row.push_back(f);
    if (!row.empty()) rows[row[0]] = row;
  }
  return rows;
}

// The summary's columns: name, seconds, frames, underruns, starved, latency, ppm, level, glitches.
enum Column { kSeconds = 1, kFrames, kLatency = 5, kFreqPpm, kGlitches = 8 };

TEST(HalvernRouteRun, SummaryAndRecordingsMatchWhatWasFed) {
  const auto folder =
      std::filesystem::temp_directory_path() / ("halvern-route-run-" + std::to_string(getpid()));
  int status = 0;
  const std::string output = RunTool(
      "play --seconds 3 --latency 20 --source tone:997@-12 --record " + folder.string() +
          " --output Wide,44100,2,f32 --output Plain,48000,2,s16 --output Voice,32000,1,s24",
      &status);
  ASSERT_EQ(status, 0) << output;

  struct Device {
    const char* name;
    int rate, channels, subtype;
    double ppm;  // the converter's rate ratio moves the tone
  };
  // 48000 -> 44100 runs on 47900 -> 44068 (L 23, M 25): the tone plays 1359 ppm low. The level each
  // device plays is judged by the endpoints' routing test, the level read from a recording by the
  // summary's test.
  const Device devices[] = {
      {"Wide", 44100, 2, SF_FORMAT_FLOAT, (25.0 / 23) / (48000.0 / 44100) * 1e6 - 1e6},
      {"Plain", 48000, 2, SF_FORMAT_PCM_16, 0},
      {"Voice", 32000, 1, SF_FORMAT_PCM_24, 0},
  };
  const auto rows = SummaryRows(output);
  ASSERT_EQ(rows.size(), std::size(devices)) << output;
  for (const Device& d : devices) {
    SCOPED_TRACE(d.name);
    ASSERT_TRUE(rows.count(d.name)) << output;
    const auto& row = rows.at(d.name);
    ASSERT_EQ(row.size(), kGlitches + 1u) << output;
    EXPECT_GT(std::stod(row[kSeconds]), 2.0);
    EXPECT_GT(std::stod(row[kLatency]), 0.0) << output;
    EXPECT_LT(std::stod(row[kLatency]), 500.0) << output;
    // A machine too busy to keep up loses blocks, which the tool reports as glitches; the tone's
    // pitch is judged only on a run that kept up.
    if (row[kGlitches] == "0") {
      EXPECT_NEAR(std::stod(row[kFreqPpm]), d.ppm, 150.0) << output;
    }

    SF_INFO info{};
    SNDFILE* file = sf_open((folder / (std::string(d.name) + ".wav")).c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(info.samplerate, d.rate);
    EXPECT_EQ(info.channels, d.channels);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, d.subtype);
    EXPECT_EQ(std::to_string(info.frames), row[kFrames]);
    sf_close(file);
  }
  std::filesystem::remove_all(folder);
}

TEST(HalvernRouteRun, UserMistakesExitWithAClearError) {
  struct Case {
    const char* arguments;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"play --to Nowhere --seconds 1", 2, "no output device 'Nowhere'"},
      {"play --source /nonexistent/tone.wav", 2, "/nonexistent/tone.wav"},
      {"play --unplug Ghost@1", 2, "no output named 'Ghost'"},
      {"play --frobnicate", 2, "frobnicate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    int status = 0;
    const std::string output = RunTool(c.arguments, &status);
    EXPECT_EQ(status, c.status) << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
  }
}

}  // namespace
