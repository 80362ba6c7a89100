// SPDX-License-Identifier: MIT
// Many requests at once, as a busy web server starts them: writers replacing the layout, readers
// reading it, and a reader of the file itself. Nobody may see half a layout or a lost file.

#include <array>
#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

constexpr int kWriters = 8;
constexpr int kReaders = 8;

// Writer `w`'s `k`th layout. The first two ids tell the writer (8 writers, 8 pairs), the last two
// the write, so no two writers ever store the same layout.
std::array<int, 4> writer_layout(int w, int k) {
  return {1 + w % 4, 1 + w / 4, 1 + k % 4, 1 + (k / 4) % 4};
}

std::string id_query(const std::array<int, 4>& ids) {
  return "id=" + std::to_string(ids[0]) + "," + std::to_string(ids[1]) + "," +
         std::to_string(ids[2]) + "," + std::to_string(ids[3]);
}

using ConcurrencyTest = QuadviewTest;

TEST_F(ConcurrencyTest, WritersAndReadersAtOnceAlwaysSeeAWholeLayout) {
  // Each run costs about ten times as much under an emulator or valgrind: fewer writes there
  // keep the test within its time limit, with as many processes at once.
  const int writes_per_writer = has_launcher() ? 3 : 25;

  std::set<std::string> legal_reads = {layout_response({4, 1, 2, 3})};
  std::set<std::string> legal_files = {kTwoMounts};
  std::set<std::string> final_files;
  for (int w = 0; w < kWriters; w++) {
    for (int k = 0; k < writes_per_writer; k++) {
      legal_reads.insert(layout_response(writer_layout(w, k)));
      legal_files.insert(two_mounts_stored(writer_layout(w, k)));
    }
    // Each writer's writes follow each other, so the last file is some writer's last layout.
    final_files.insert(two_mounts_stored(writer_layout(w, writes_per_writer - 1)));
  }

  write_layout(kTwoMounts);
  start_services({"--mount", "ceiling"});
  forget_calls();

  std::atomic<int> writers_left{kWriters};
  std::atomic<int> reads{0};
  std::atomic<int> file_loads{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; w++) {
    threads.emplace_back([&, w] {
      // Half of them make named temporary files, which every save's sweep meets.
      run_options options;
      if (w % 2 == 1 && why_no_environment_from_files().empty()) {
        options.fail = "no-tmpfile";
      }
      for (int k = 0; k < writes_per_writer; k++) {
        const std::string query = id_query(writer_layout(w, k));
        const cgi_result result = set(query, options);
        EXPECT_EQ(result.out, success_response()) << "writer " << w << ": " << query;
        expect_log(result, {});
      }
      writers_left--;
    });
  }
  for (int r = 0; r < kReaders; r++) {
    threads.emplace_back([&] {
      // One report per reader is enough to show a fault.
      while (writers_left > 0) {
        const cgi_result result = get();
        reads++;
        if (legal_reads.count(result.out) != 1 || !result.log.empty()) {
          ADD_FAILURE() << "read " << reads << " answered:\n" << result.out;
          expect_log(result, {});
          break;
        }
      }
    });
  }
  threads.emplace_back([&] {
    while (writers_left > 0) {
      const std::string file = read_file(layout_path());
      file_loads++;
      if (legal_files.count(file) != 1) {
        ADD_FAILURE() << "load " << file_loads << " of the layout file: " << file;
        break;
      }
      // Often enough to meet every file, without taking a processor from the requests.
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  for (std::thread& thread : threads) {
    thread.join();
  }

  EXPECT_EQ(final_files.count(read_layout().value_or("")), 1u) << read_layout().value_or("");
  EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
  // Every request reached the services: two questions and a reload per write, one per read.
  const int writes = kWriters * writes_per_writer;
  EXPECT_EQ(count_calls(kReload), writes);
  EXPECT_EQ(count_calls(kTiltQuery), 2 * writes + reads);
  EXPECT_GT(reads, 0);
  EXPECT_GT(file_loads, 0);
  RecordProperty("reads", reads);
  RecordProperty("file_loads", file_loads);
}

}  // namespace
}  // namespace e2e
