// Runs the real Markrun program and checks its report.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
  std::string text;
  int status = -1;
};

Result RunMarkrun() {
  Result result;
  FILE* pipe = popen(MARKRUN_PATH, "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    result.text.append(buffer, n);
  result.status = pclose(pipe);
  return result;
}

// The text between `from` (exclusive) and the next `to`, or "<missing>".
std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const size_t begin = text.find(from);
  if (begin == std::string::npos) return "<missing>";
  const size_t end = text.find(to, begin + from.size());
  if (end == std::string::npos) return "<missing>";
  return text.substr(begin + from.size(), end - begin - from.size());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// True when `text` is a printed string: items "XX " with upper-case hex
// digits.
bool IsPrinted(const std::string& text) {
  if (text.size() % 3 != 0) return false;
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  for (size_t k = 0; k < text.size(); k += 3) {
    if (!hex(text[k]) || !hex(text[k + 1]) || text[k + 2] != ' ') return false;
  }
  return true;
}

// The distinct items of a printed string, in order.
std::string IdsOf(const std::string& printed) {
  std::string ids;
  for (size_t k = 0; k < printed.size(); k += 3) {
    if (ids.size() < 3 || ids.compare(ids.size() - 3, 3, printed, k, 3) != 0) {
      ids += printed.substr(k, 3);
    }
  }
  return ids;
}

class MarkrunOutputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { first_ = new Result(RunMarkrun()); }
  static void TearDownTestSuite() {
    delete first_;
    first_ = nullptr;
  }
  static const std::string& Text() { return first_->text; }
  static Result* first_;
};
Result* MarkrunOutputTest::first_ = nullptr;

TEST_F(MarkrunOutputTest, ContainerChecksFinishWithThirtyOneDotsEach) {
  EXPECT_EQ(first_->status, 0);
  EXPECT_EQ(Between(Text(), "\n========- iList test -========\n\n",
                    "\n>> iList test is finished successfully.\n\n"),
            std::string(31, '.'));
  EXPECT_EQ(Between(Text(), "\n========- iAssociatedList test -========\n\n",
                    "\n>> iAssociatedList test is finished successfully.\n\n"),
            std::string(31, '.'));
  EXPECT_EQ(Text().find("Loop["), std::string::npos);
  EXPECT_EQ(Text().rfind("\n========- iList test -========\n\n", 0), 0u);
}

TEST_F(MarkrunOutputTest, IdentifierStringsAreListedSortedAndSearched) {
  const std::vector<std::string> input =
      Lines(Between(Text(), "Input identifier array:\n\n", "\nSorted:\n\n"));
  ASSERT_EQ(input.size(), 50u);
  std::vector<std::string> built;
  for (size_t d = 0; d < input.size(); ++d) {
    const std::string number = (d < 10 ? "[0" : "[") + std::to_string(d) + "]: ";
    EXPECT_EQ(input[d].substr(0, 6), number);
    built.push_back(input[d].substr(6));
    EXPECT_TRUE(IsPrinted(built.back()) && built.back().size() <= 19 * 3) << input[d];
  }

  // The collection: ascending run counts, every line one of the built
  // strings, no two with the same ids.
  const std::vector<std::string> sorted =
      Lines(Between(Text(), "\nSorted:\n\n", "\nBefore addition:\n"));
  ASSERT_FALSE(sorted.empty());
  EXPECT_LE(sorted.size(), 50u);
  std::set<std::string> idSets;
  for (size_t k = 0; k < sorted.size(); ++k) {
    EXPECT_NE(std::find(built.begin(), built.end(), sorted[k]), built.end()) << sorted[k];
    if (k > 0) {
      EXPECT_LE(IdsOf(sorted[k - 1]).size(), IdsOf(sorted[k]).size()) << k;
    }
    idSets.insert(IdsOf(sorted[k]));
  }
  EXPECT_EQ(idSets.size(), sorted.size());

  // The saved string, then the search result with the extended string, which
  // prints three more items.
  const std::vector<std::string> tail = Lines(Text().substr(Text().find("\nBefore addition:\n")));
  ASSERT_EQ(tail.size(), 6u);
  EXPECT_EQ(tail[1], "Before addition:");
  EXPECT_TRUE(IsPrinted(tail[2])) << tail[2];
  EXPECT_EQ(tail[3], "");
  std::string extended = tail[5];
  if (tail[4] == "Id string is found:") {
    const size_t arrow = extended.rfind(" -> [");
    ASSERT_NE(arrow, std::string::npos) << extended;
    const std::string number = extended.substr(arrow + 5);
    EXPECT_TRUE(number.size() == 3 && number[0] >= '0' && number[0] <= '4' && number[1] >= '0' &&
                number[1] <= '9' && number[2] == ']')
        << extended;
    extended.resize(arrow);
  } else {
    EXPECT_EQ(tail[4], "Id string is not found!!!");
  }
  EXPECT_TRUE(IsPrinted(extended)) << extended;
  EXPECT_EQ(extended.size(), tail[2].size() + 3 * 3) << extended;
  EXPECT_EQ(Text().back(), '\n');
}

TEST_F(MarkrunOutputTest, EveryRunPrintsTheSameReport) {
  const Result second = RunMarkrun();
  EXPECT_EQ(second.status, 0);
  EXPECT_TRUE(second.text == Text());
}

// The expected report was checked against an independent model of the
// self-check (markrun_model.py, which regenerates it byte for byte).
TEST_F(MarkrunOutputTest, MatchesTheExpectedReport) {
  std::ifstream in(MARKRUN_EXPECTED, std::ios::binary);
  ASSERT_TRUE(in) << MARKRUN_EXPECTED;
  const std::string expected((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  EXPECT_TRUE(Text() == expected) << "differs from " << MARKRUN_EXPECTED;
}

}  // namespace
