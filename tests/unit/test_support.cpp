// Unit tests of runtime support: the log stamp and levels, the log's size
// limit, the formatting buffers, the TextBuffer capacity rules and the fatal
// error page.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "driver/driver.h"
#include "fixtures.h"
#include "support/support.h"

namespace {

std::tm at(int year, int month, int day, int hour, int minute, int second) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  return when;
}

std::string stamp_of(const std::tm& when) {
  TextBuffer* stamp = text_buffer_create("");
  log_format_stamp(stamp, &when);
  std::string text = stamp->chars;
  text_buffer_free(stamp);
  return text;
}

using SupportTest = QuilletTest;

// ---- the stamp ----

TEST_F(SupportTest, StampDaySuffixes) {
  struct Row {
    int day;
    const char* expected_prefix;
  } rows[] = {{1, "1st "},   {2, "2nd "},   {3, "3rd "},   {4, "4th "},   {9, "9th "},
              {10, "10th "}, {11, "11th "}, {12, "12th "}, {13, "13th "}, {19, "19th "},
              {20, "20th "}, {21, "21st "}, {22, "22nd "}, {23, "23rd "}, {24, "24th "},
              {30, "30th "}, {31, "31st "}};
  for (const Row& row : rows) {
    std::string stamp = stamp_of(at(2026, 1, row.day, 10, 0, 0));
    EXPECT_EQ(stamp.rfind(row.expected_prefix, 0), 0u) << "day " << row.day << " gave " << stamp;
  }
}

TEST_F(SupportTest, StampTwelveHourClockWithTwoBlanksAfterTheComma) {
  struct Row {
    std::tm when;
    const char* expected;
  } rows[] = {
      {at(2026, 12, 7, 17, 3, 9), "7th December 2026,  5:03:09 pm"},
      {at(2026, 5, 1, 12, 0, 0), "1st May 2026,  12:00:00 pm"},
      {at(2026, 1, 11, 0, 30, 0), "11th January 2026,  0:30:00 am"},
      {at(2026, 2, 22, 12, 30, 0), "22nd February 2026,  12:30:00 pm"},
      {at(2026, 3, 23, 23, 59, 59), "23rd March 2026,  11:59:59 pm"},
      {at(2026, 11, 13, 11, 5, 7), "13th November 2026,  11:05:07 am"},
      {at(987, 9, 2, 13, 0, 0), "2nd September 0987,  1:00:00 pm"},
  };
  for (const Row& row : rows) EXPECT_EQ(stamp_of(row.when), row.expected);
}

// ---- levels and the logging setting ----

TEST_F(SupportTest, DebugLinesFollowTheLoggingSetting) {
  struct Row {
    const char* logging;  // null: no logging line in the ini file
    bool debug_written;
  } rows[] = {{nullptr, true}, {"debug", true},  {"DEBUG", true}, {"Debugging", true},
              {"errors", false}, {"", false},    {"deb", false},  {" debug", false}};
  for (const Row& row : rows) {
    std::remove(log_file_path);
    log_apply_logging_setting(row.logging);
    log_event(LOG_DEBUG, "progress");
    log_event(LOG_ERROR, "problem");
    std::vector<std::string> expected;
    if (row.debug_written) expected.push_back("progress");
    expected.push_back("problem");
    EXPECT_EQ(log_messages(), expected) << "logging " << text_or_null(row.logging);
  }
}

TEST_F(SupportTest, OtherLevelsAndABusyLogWriteNothing) {
  log_event(0, "level zero");
  log_event(3, "level three");
  log_busy = true;
  log_event(LOG_ERROR, "while busy");
  log_busy = false;
  EXPECT_EQ(log_text(), "");
  log_event(LOG_ERROR, "after");
  EXPECT_EQ(log_messages(), std::vector<std::string>{"after"});
}

TEST_F(SupportTest, LineFrameAndTrailingLineEnd) {
  log_event(LOG_ERROR, "value %d and %s", 42, text_or_null(nullptr));
  log_event(LOG_ERROR, "ends in a line feed\n");
  std::string text = log_text();
  std::string pid = " - pid(" + std::to_string(platform_process_id()) + ") - ";
  EXPECT_NE(text.find(pid + "value 42 and (null)\n"), std::string::npos) << text;
  EXPECT_NE(text.find(pid + "ends in a line feed\n\n"), std::string::npos) << text;
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"value 42 and (null)", "ends in a line feed", ""}));
}

TEST_F(SupportTest, LogInAMissingDirectoryDropsTheLine) {
  std::snprintf(log_file_path, sizeof log_file_path, "%s/no/such/dir/quillet.log", scratch_dir_.c_str());
  log_event(LOG_ERROR, "lost");
  EXPECT_FALSE(log_busy);
  EXPECT_EQ(read_whole_file(log_file_path), "");
}

// ---- long messages ----

TEST_F(SupportTest, LogMessageLengthsAroundTheFixedBuffer) {
  std::string exact(FORMAT_LIMIT, 'a');
  log_event(LOG_ERROR, "%s", exact.c_str());
  EXPECT_EQ(log_overflow_buffer, nullptr);

  std::string one_more(FORMAT_LIMIT + 1, 'b');
  log_event(LOG_ERROR, "%s", one_more.c_str());
  EXPECT_NE(log_overflow_buffer, nullptr);
  EXPECT_EQ(log_overflow_size, 64000);

  std::string huge(200000, 'c');
  log_event(LOG_ERROR, "%s", huge.c_str());
  EXPECT_EQ(log_overflow_size, 256000);

  std::string again(70000, 'd');
  log_event(LOG_ERROR, "%s", again.c_str());
  EXPECT_EQ(log_overflow_size, 256000) << "the size only grows";

  EXPECT_EQ(log_messages(), (std::vector<std::string>{exact, one_more, huge, again}));
}

// ---- the size limit ----

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string note_for(const std::string& log) {
  return "log file reached 1 KB; the earlier lines are in " + log + ".old";
}

TEST_F(SupportTest, TheLogIsMovedAsideBeforeALineWouldPassTheLimit) {
  const std::string log = log_file_path;
  const std::string old = log + ".old";
  const long limit = 1024;
  // The frame "<stamp> - pid(<n>) - " of a line written now.
  log_event(LOG_ERROR, "probe");
  const long frame = static_cast<long>(log_text().size()) - 6;
  log_set_max_size(1);
  struct Row {
    const char* what;
    int message_length;
    long filler;     // bytes in the log before the line
    bool at_limit;   // filler is `limit - line size + filler` instead
    bool rotated;
  } rows[] = {
      {"the line ends exactly at the limit", 100, 0, true, false},
      {"the line passes the limit by one byte", 100, 1, true, true},
      {"an empty log takes a line longer than the limit", 2000, 0, false, false},
      {"a line longer than the limit goes whole into the new log", 2000, 10, false, true},
  };
  for (const Row& row : rows) {
    std::remove(log.c_str());
    std::remove(old.c_str());
    std::string message(static_cast<size_t>(row.message_length), 'm');
    long line_size = frame + row.message_length + 1;
    long filler = row.at_limit ? limit - line_size + row.filler : row.filler;
    std::string before = filler > 0 ? std::string(static_cast<size_t>(filler - 1), 'f') + "\n" : "";
    write_whole_file(log, before);
    log_event(LOG_ERROR, "%s", message.c_str());
    EXPECT_EQ(exists(old), row.rotated) << row.what;
    if (row.rotated) {
      EXPECT_EQ(read_whole_file(old), before) << row.what;
      EXPECT_EQ(log_messages(), (std::vector<std::string>{note_for(log), message})) << row.what;
    } else {
      EXPECT_EQ(log_text().substr(0, before.size()), before) << row.what;
      EXPECT_EQ(log_messages().back(), message) << row.what;
      EXPECT_EQ(static_cast<long>(log_text().size()), filler + line_size) << row.what;
    }
  }
}

TEST_F(SupportTest, ALogThatCannotBeMovedAsideKeepsEveryLineAndSaysWhyOnce) {
  const std::string log = log_file_path;
  struct Row {
    const char* in_the_way;  // a directory under this name beside the log
    std::string error;       // "" when the log is moved aside all the same
  } rows[] = {
      {".new", "the log was not rotated: " + log + ".new could not be created (" + std::to_string(EEXIST) + ")(" +
                   std::strerror(EEXIST) + ")."},
      {".old", "the log was not rotated: " + log + " could not be renamed to " + log + ".old (" +
                   std::to_string(EISDIR) + ")(" + std::strerror(EISDIR) + ")."},
      {nullptr, ""},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::filesystem::remove_all(scratch_dir_ + "/quillet.log.new");
    std::filesystem::remove_all(scratch_dir_ + "/quillet.log.old");
    log_set_max_size(1);
    if (row.in_the_way != nullptr) ASSERT_EQ(mkdir((log + row.in_the_way).c_str(), 0755), 0);
    // A new log that a run left behind half written is not taken over.
    else write_whole_file(log + ".new", "left behind\n");
    std::string full(1100, 'f');
    write_whole_file(log, full + "\n");
    for (int i = 1; i <= 3; i++) log_event(LOG_ERROR, "line %d", i);
    std::vector<std::string> messages = log_messages();
    if (row.error.empty()) {
      EXPECT_EQ(messages, (std::vector<std::string>{note_for(log), "line 1", "line 2", "line 3"}));
      EXPECT_FALSE(exists(log + ".new"));
      continue;
    }
    EXPECT_EQ(messages, (std::vector<std::string>{full, "line 1", row.error, "line 2", "line 3"}))
        << row.in_the_way;
    EXPECT_TRUE(std::filesystem::is_directory(log + row.in_the_way));
    EXPECT_FALSE(exists(log + (std::strcmp(row.in_the_way, ".new") == 0 ? ".old" : ".new")));
  }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(SupportTest, NoMemoryForAnOverlongMessageEndsWithStatusNine) {
  auto log_with_little_memory = [] {
    // Leave 40 MB of address space: the overflow buffer doubles from 64000
    // bytes and its 65,536,000-byte step cannot be had.
    limit_address_space(40L * 1024 * 1024);
    log_event(LOG_ERROR, "%*s", 40000000, "x");
  };
  EXPECT_EXIT(log_with_little_memory(), ::testing::ExitedWithCode(EXIT_NO_MEMORY), "");
  EXPECT_EQ(log_text(), "") << "nothing more is written anywhere";
}
#endif

// ---- the TextBuffer ----

TEST_F(SupportTest, TextBufferCapacityRules) {
  TextBuffer* buffer = text_buffer_create("");
  EXPECT_EQ(buffer->length, 0);
  EXPECT_EQ(buffer->capacity, 64000);

  std::string fits(63998, 'x');
  text_buffer_appendf(buffer, "%s", fits.c_str());
  EXPECT_EQ(buffer->length, 63998);
  EXPECT_EQ(buffer->capacity, 64000) << "length + 1 < capacity still holds";
  text_buffer_free(buffer);

  buffer = text_buffer_create("");
  std::string grows(63999, 'y');
  text_buffer_appendf(buffer, "%s", grows.c_str());
  EXPECT_EQ(buffer->length, 63999);
  EXPECT_EQ(buffer->capacity, 83999);
  EXPECT_EQ(std::string(buffer->chars), grows);
  text_buffer_appendf(buffer, "%s", "z");
  EXPECT_EQ(buffer->capacity, 83999) << "room left after growth is used first";
  text_buffer_free(buffer);

  buffer = text_buffer_create("start");
  EXPECT_EQ(buffer->length, 5);
  EXPECT_EQ(buffer->capacity, 64005);
  text_buffer_appendf(buffer, " %d-%s", 7, "x");
  EXPECT_STREQ(buffer->chars, "start 7-x");
  text_buffer_free(buffer);
}

TEST_F(SupportTest, TextBufferPlainAppendFollowsTheSameRules) {
  TextBuffer* buffer = text_buffer_create("");
  std::string fits(63998, 'f');
  text_buffer_append(buffer, fits.data(), static_cast<int>(fits.size()));
  EXPECT_EQ(buffer->capacity, 64000);
  text_buffer_append(buffer, "%s", 2);  // no formatting: the bytes as they are
  EXPECT_EQ(buffer->length, 64000);
  EXPECT_EQ(buffer->capacity, 84000);
  EXPECT_EQ(std::string(buffer->chars), fits + "%s");
  text_buffer_append(buffer, "xyz", 0);
  EXPECT_EQ(buffer->length, 64000);
  text_buffer_free(buffer);
}

TEST_F(SupportTest, TextBufferMovesALongTextAFewTimesAtMost) {
  // A message of many long header lines: with a fixed growth step every
  // piece moved the whole text so far, and 12 MB cost seconds.
  struct Row {
    int piece;
    int pieces;
  } rows[] = {{60000, 200}, {30001, 100}, {100, 30000}, {1000000, 12}};
  for (const Row& row : rows) {
    TextBuffer* buffer = text_buffer_create("");
    std::string piece(static_cast<std::size_t>(row.piece), 'm');
    long long moved = 0;  // bytes copied into new storage, over all growths
    for (int i = 0; i < row.pieces; i++) {
      int capacity = buffer->capacity;
      int length = buffer->length;
      text_buffer_append(buffer, piece.data(), row.piece);
      if (buffer->capacity != capacity) moved += length;
    }
    long long total = static_cast<long long>(row.piece) * row.pieces;
    ASSERT_EQ(buffer->length, total) << row.piece;
    EXPECT_LE(moved, 5 * total) << row.piece;
    text_buffer_free(buffer);
  }
}

TEST_F(SupportTest, TextBufferSetfReplacesAndEmpties) {
  TextBuffer* buffer = text_buffer_create("old text");
  text_buffer_setf(buffer, "new %s", "text");
  EXPECT_STREQ(buffer->chars, "new text");
  EXPECT_EQ(buffer->length, 8);
  text_buffer_setf(buffer, "%s", "");
  EXPECT_STREQ(buffer->chars, "");
  EXPECT_EQ(buffer->length, 0);
  EXPECT_EQ(buffer->capacity, 64008) << "emptying keeps the capacity";

  std::string big(70000, 'q');
  text_buffer_setf(buffer, "%s", big.c_str());
  EXPECT_EQ(buffer->length, 70000);
  EXPECT_EQ(buffer->capacity, 90000);
  EXPECT_EQ(std::string(buffer->chars), big);
  text_buffer_free(buffer);
}

TEST_F(SupportTest, PiecesBeyondTheScratchBufferGoThroughTheOverflowBuffer) {
  TextBuffer* buffer = text_buffer_create("<");
  std::string piece(FORMAT_LIMIT + 1, 'p');
  text_buffer_appendf(buffer, "%s", piece.c_str());
  EXPECT_NE(format_overflow_buffer, nullptr);
  EXPECT_EQ(std::string(buffer->chars), "<" + piece);
  // Formatting the buffer's own text into itself is safe: the piece is made
  // before it is copied.
  text_buffer_setf(buffer, "[%s]", buffer->chars);
  EXPECT_EQ(std::string(buffer->chars), "[<" + piece + "]");
  text_buffer_free(buffer);
  text_buffer_free(nullptr);
}

// ---- text helpers ----

TEST_F(SupportTest, CaseInsensitiveComparisonOfAsciiLetters) {
  EXPECT_TRUE(text_equal_ignoring_case("DEBUG", "debug", 5));
  EXPECT_TRUE(text_equal_ignoring_case("From: x", "from:", 5));
  EXPECT_TRUE(text_equal_ignoring_case("ab", "AB", 2));
  EXPECT_FALSE(text_equal_ignoring_case("Fro", "From:", 5)) << "a shorter text differs";
  EXPECT_FALSE(text_equal_ignoring_case("Reply-To:", "To:", 3));
  EXPECT_FALSE(text_equal_ignoring_case("\xC4", "\xE4", 1)) << "only ASCII letters fold";
  EXPECT_TRUE(text_equal_ignoring_case("anything", "else", 0));
  EXPECT_STREQ(text_or_null(nullptr), "(null)");
  EXPECT_STREQ(text_or_null(""), "");
}

TEST_F(SupportTest, AsciiCaseAgreesWithTheCLocaleForEveryByte) {
  // The C library in the "C" locale is the reference; bytes above 0x7F,
  // which another locale would fold, stay as they are.
  for (int byte = 0; byte < 256; byte++) {
    char c = static_cast<char>(byte);
    EXPECT_EQ(static_cast<unsigned char>(ascii_to_lower(c)), std::tolower(byte)) << byte;
    EXPECT_EQ(static_cast<unsigned char>(ascii_to_upper(c)), std::toupper(byte)) << byte;
    EXPECT_EQ(is_ascii_letter_or_digit(c), std::isalnum(byte) != 0) << byte;
  }
}

TEST_F(SupportTest, HtmlEscapeTakesWholeCharactersAndWholeEntities) {
  const char* all = "&<>\"'";
  struct Row {
    const char* text;
    const char* characters;
    std::size_t size;
    const char* expected;
    std::size_t taken;
  } rows[] = {
      {"a<b>&\"c'", all, 100, "a&lt;b&gt;&amp;&quot;c&#39;", 8},
      {"a<b>&\"c'", "&><\"", 100, "a&lt;b&gt;&amp;&quot;c'", 8},  // the apostrophe stays
      {"plain \xC3\xA9 text", all, 100, "plain \xC3\xA9 text", 13},
      {"", all, 100, "", 0},
      {"", all, 1, "", 0},
      {"abc", all, 1, "", 0},
      // Cut where the room ends, never inside an entity.
      {"abcdef", all, 4, "abc", 3},
      {"ab&c", all, 8, "ab&amp;", 3},   // exactly fits
      {"ab&c", all, 7, "ab", 2},        // "&amp;" would not
      {"\"\"", all, 7, "&quot;", 1},
      {"\"\"", all, 6, "", 0},          // less room than HTML_ENTITY_LIMIT
      {"&&&", all, 13, "&amp;&amp;", 2},
  };
  for (const Row& row : rows) {
    std::string destination(row.size + 8, '#');  // '#' shows a write past the room
    std::size_t length = 99;
    std::size_t taken = html_escape(&destination[0], row.size, row.text, row.characters, &length);
    EXPECT_STREQ(destination.c_str(), row.expected) << row.text << " in " << row.size;
    EXPECT_EQ(length, std::strlen(row.expected)) << row.text << " in " << row.size;
    EXPECT_EQ(taken, row.taken) << row.text << " in " << row.size;
    EXPECT_EQ(destination.substr(row.size), std::string(8, '#')) << row.text << " in " << row.size;
  }
}

// ---- memory the run cannot go on without ----

TEST_F(SupportTest, CopiesAndBlocksThatCouldBeHad) {
  char* copy = copy_bytes_or_fatal("ab\0cd", 4, "unused");
  EXPECT_EQ(std::string(copy, 5), std::string("ab\0c\0", 5)) << "the bytes as they are, then a NUL";
  std::free(copy);
  copy = copy_bytes_or_fatal("", 0, "unused");
  EXPECT_STREQ(copy, "");
  std::free(copy);
  copy = copy_text_or_fatal("text", "unused");
  EXPECT_STREQ(copy, "text");
  char* grown = static_cast<char*>(reallocate_or_fatal(copy, 100000, "unused"));
  EXPECT_STREQ(grown, "text") << "resizing keeps what the block held";
  std::free(grown);
  void* nothing = allocate_or_fatal(0, "unused");
  EXPECT_NE(nothing, nullptr);
  std::free(nothing);
  EXPECT_EQ(log_text(), "");
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(SupportTest, MemoryThatCannotBeHadEndsWithTheCallersFatalPage) {
  const std::size_t huge = 64 * 1024 * 1024;
  std::string source(huge, 's');
  enum Ask { ALLOCATE, REALLOCATE, COPY_BYTES, COPY_TEXT };
  struct Row {
    Ask ask;
    const char* failure;
  } rows[] = {{ALLOCATE, "out of memory."},
              {REALLOCATE, "Unable to malloc memory"},
              {COPY_BYTES, "Unable to malloc memory."},
              {COPY_TEXT, "no room"}};
  for (const Row& row : rows) {
    std::remove(log_file_path);
    auto ask_with_little_memory = [&] {
      limit_address_space(16L * 1024 * 1024);
      switch (row.ask) {
        case ALLOCATE: (void)allocate_or_fatal(huge, row.failure); break;
        case REALLOCATE: (void)reallocate_or_fatal(nullptr, huge, row.failure); break;
        case COPY_BYTES: (void)copy_bytes_or_fatal(source.data(), huge, row.failure); break;
        case COPY_TEXT: (void)copy_text_or_fatal(source.c_str(), row.failure); break;
      }
      std::exit(101);
    };
    EXPECT_EXIT(ask_with_little_memory(), ::testing::ExitedWithCode(EXIT_FATAL_PAGE), "") << row.failure;
    EXPECT_EQ(log_messages(), (std::vector<std::string>{row.failure, "ended"})) << row.failure;
  }
}
#endif

// ---- the fatal error page ----

TEST_F(SupportTest, FatalPageLogsABareLineThenEnded) {
  EXPECT_EXIT(emit_fatal_page("out of memory."), ::testing::ExitedWithCode(EXIT_FATAL_PAGE), "");
  std::vector<std::string> messages = log_messages();
  ASSERT_EQ(messages.size(), 2u) << log_text();
  EXPECT_EQ(messages[0], "out of memory.");
  EXPECT_EQ(log_text().rfind("out of memory.\n", 0), 0u) << "no stamp on the bare line";
  EXPECT_EQ(messages[1], "ended");
}

TEST_F(SupportTest, FatalPageWithErrorsOnlyLoggingHasNoEndedLine) {
  log_apply_logging_setting("errors");
  EXPECT_EXIT(emit_fatal_page("The ini file could not be opened."),
              ::testing::ExitedWithCode(EXIT_FATAL_PAGE), "");
  EXPECT_EQ(log_text(), "The ini file could not be opened.\n");
}

TEST_F(SupportTest, FatalPageWithoutALogEndsWithStatusTwo) {
  std::snprintf(log_file_path, sizeof log_file_path, "%s/missing/quillet.log", scratch_dir_.c_str());
  EXPECT_EXIT(emit_fatal_page("out of memory."), ::testing::ExitedWithCode(EXIT_FATAL_NO_LOG), "");
}

TEST_F(SupportTest, FatalPageReachedFromInsideTheLogWritesNoEndedLine) {
  EXPECT_EXIT(
      {
        log_busy = true;  // as when the stamp's TextBuffer cannot be made
        emit_fatal_page("Unable to malloc memory.");
      },
      ::testing::ExitedWithCode(EXIT_FATAL_PAGE), "");
  EXPECT_EQ(log_text(), "Unable to malloc memory.\n");
}

}  // namespace
