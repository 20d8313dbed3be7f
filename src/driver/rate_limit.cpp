// rate_limit.cpp - at most N messages from one client address in any window
// of so many seconds, counted in the rate file beside the log.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "platform/platform.h"
#include "support/support.h"

const char RATE_FILE_HEADER[] = "quillet rate file 1";

static const char UNKNOWN_CLIENT[] = "unknown";
static const char NO_MEMORY[] = "Unable to malloc memory";

// ---- client keys ----

// Dotted decimal, exactly four numbers of one to three digits up to 255,
// from `text` to `end`. Fills `bytes` and returns true.
static bool read_ipv4(const char* text, const char* end, unsigned char bytes[4]) {
  const char* at = text;
  for (int part = 0; part < 4; part++) {
    if (part > 0) {
      if (at == end || *at != '.') return false;
      at++;
    }
    int value = 0;
    int digits = 0;
    while (at < end && *at >= '0' && *at <= '9' && digits < 3) {
      value = value * 10 + (*at - '0');
      digits++;
      at++;
    }
    if (digits == 0 || value > 255) return false;
    bytes[part] = static_cast<unsigned char>(value);
  }
  return at == end;
}

// An IPv6 address in the text forms of RFC 4291 2.2 (groups of one to four
// hex digits, one "::" at most, a dotted IPv4 tail) from `text` to `end`.
// Fills the 16 `bytes` and returns true.
static bool read_ipv6(const char* text, const char* end, unsigned char bytes[16]) {
  unsigned char groups[16];
  int filled = 0;        // bytes of `groups` written
  int gap = -1;          // where "::" stands, in bytes; -1 when there is none
  const char* at = text;
  if (end - at >= 2 && at[0] == ':' && at[1] == ':') {
    gap = 0;
    at += 2;
  } else if (at < end && *at == ':') {
    return false;
  }
  while (at < end) {
    // A dotted IPv4 tail takes the last four bytes.
    const char* piece_end = at;
    while (piece_end < end && *piece_end != ':') piece_end++;
    if (piece_end == end && std::memchr(at, '.', static_cast<std::size_t>(end - at)) != nullptr) {
      if (filled > 12 || !read_ipv4(at, end, groups + filled)) return false;
      filled += 4;
      at = end;
      break;
    }
    int value = 0;
    int digits = 0;
    while (at < end && hex_digit_value(*at) >= 0) {
      if (++digits > 4) return false;
      value = value * 16 + hex_digit_value(*at);
      at++;
    }
    if (digits == 0 || filled > 14) return false;
    groups[filled++] = static_cast<unsigned char>(value >> 8);
    groups[filled++] = static_cast<unsigned char>(value & 0xFF);
    if (at == end) break;
    if (*at != ':') return false;
    at++;
    if (at < end && *at == ':') {
      if (gap >= 0) return false;
      gap = filled;
      at++;
    } else if (at == end) {
      return false;  // a single ':' at the end
    }
  }
  if (gap < 0 && filled != 16) return false;
  if (gap >= 0 && filled > 14) return false;
  // The groups after "::" go to the end; the zeros it stands for between.
  std::memset(bytes, 0, 16);
  if (gap < 0) {
    std::memcpy(bytes, groups, 16);
  } else {
    std::memcpy(bytes, groups, static_cast<std::size_t>(gap));
    std::memcpy(bytes + 16 - (filled - gap), groups + gap, static_cast<std::size_t>(filled - gap));
  }
  return true;
}

static void ipv4_key(const unsigned char bytes[4], char* key) {
  if (std::snprintf(key, RATE_KEY_SIZE, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]) < 0)
    std::snprintf(key, RATE_KEY_SIZE, "%s", UNKNOWN_CLIENT);
}

void rate_client_key(const char* remote_address, char* key) {
  std::snprintf(key, RATE_KEY_SIZE, "%s", UNKNOWN_CLIENT);
  if (remote_address == nullptr) return;
  const char* start = remote_address;
  const char* end = start + std::strlen(start);
  // "[2001:db8::1]" as some servers write it, and a zone ("fe80::1%eth0"),
  // which names the host's own interface and not the client.
  if (*start == '[' && end > start + 1 && end[-1] == ']') {
    start++;
    end--;
  }
  const char* zone = static_cast<const char*>(std::memchr(start, '%', static_cast<std::size_t>(end - start)));
  if (zone != nullptr) end = zone;

  unsigned char ipv4[4];
  if (read_ipv4(start, end, ipv4)) {
    ipv4_key(ipv4, key);
    return;
  }
  unsigned char ipv6[16];
  if (!read_ipv6(start, end, ipv6)) return;
  // ::ffff:a.b.c.d is an IPv4 client on a dual-stack socket: counted by its
  // own address, not together with every other IPv4 client in ::ffff:0:0/96.
  static const unsigned char MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(ipv6, MAPPED_PREFIX, sizeof MAPPED_PREFIX) == 0) {
    ipv4_key(ipv6 + 12, key);
    return;
  }
  // One end site usually holds a whole /64 (RFC 6177), and a client picks
  // new addresses in it at will (RFC 8981): the /64 is the client.
  if (std::snprintf(key, RATE_KEY_SIZE, "%x:%x:%x:%x::/64", (ipv6[0] << 8) | ipv6[1], (ipv6[2] << 8) | ipv6[3],
                    (ipv6[4] << 8) | ipv6[5], (ipv6[6] << 8) | ipv6[7]) < 0)
    std::snprintf(key, RATE_KEY_SIZE, "%s", UNKNOWN_CLIENT);
}

// ---- the table ----

struct RateSlot {
  long long time;
  int count;
};

struct RateRecord {
  char key[RATE_KEY_SIZE];
  int slot_count;
  RateSlot slots[RATE_SLOTS];
};

// The characters of a key as rate_client_key writes them.
static bool is_key_character(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '.' || c == ':' || c == '/';
}

// Digits from *at into *value, at most `limit`; false when there are none or
// the number exceeds the limit.
static bool read_number(const char** at, long long limit, long long* value) {
  const char* p = *at;
  long long number = 0;
  if (*p < '0' || *p > '9') return false;
  while (*p >= '0' && *p <= '9') {
    number = number * 10 + (*p - '0');
    if (number > limit) return false;
    p++;
  }
  *at = p;
  *value = number;
  return true;
}

// Times up to the year 9999 and counts that fit an int: anything larger is
// no rate file's.
constexpr long long RATE_TIME_LIMIT = 253402300799LL;
constexpr long long RATE_COUNT_LIMIT = INT_MAX;

// One line "<key> <time>:<count>..." ending in its line feed, from *at.
static bool read_record(const char** at, RateRecord* record) {
  const char* p = *at;
  const char* key = p;
  while (is_key_character(*p)) p++;
  std::size_t key_length = static_cast<std::size_t>(p - key);
  if (key_length == 0 || key_length >= RATE_KEY_SIZE) return false;
  std::memcpy(record->key, key, key_length);
  record->key[key_length] = '\0';
  record->slot_count = 0;
  while (*p == ' ') {
    p++;
    long long time = 0;
    long long count = 0;
    if (record->slot_count == RATE_SLOTS || !read_number(&p, RATE_TIME_LIMIT, &time) || *p++ != ':' ||
        !read_number(&p, RATE_COUNT_LIMIT, &count) || count == 0)
      return false;
    record->slots[record->slot_count].time = time;
    record->slots[record->slot_count].count = static_cast<int>(count);
    record->slot_count++;
  }
  if (record->slot_count == 0 || *p != '\n') return false;
  *at = p + 1;
  return true;
}

static int compare_keys(const void* a, const void* b) {
  return std::strcmp(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
}

// Whether two of the records share a key: sorted, equal keys stand side by
// side, so a full file costs n log n comparisons rather than n squared.
static bool has_repeated_key(const RateRecord* records, int count) {
  if (count < 2) return false;
  const char** keys =
      static_cast<const char**>(allocate_or_fatal(sizeof(const char*) * static_cast<std::size_t>(count), NO_MEMORY));
  for (int i = 0; i < count; i++) keys[i] = records[i].key;
  std::qsort(keys, static_cast<std::size_t>(count), sizeof(const char*), compare_keys);
  bool repeated = false;
  for (int i = 1; i < count && !repeated; i++) repeated = std::strcmp(keys[i - 1], keys[i]) == 0;
  std::free(keys);
  return repeated;
}

// The records of a rate file's text into `records` (room for `room`);
// returns their number, or -1 when the text is no rate file.
static int read_table(const char* text, RateRecord* records, int room) {
  if (*text == '\0') return 0;
  std::size_t header_length = std::strlen(RATE_FILE_HEADER);
  if (std::strncmp(text, RATE_FILE_HEADER, header_length) != 0 || text[header_length] != '\n') return -1;
  const char* at = text + header_length + 1;
  int count = 0;
  while (*at != '\0') {
    if (count == room || !read_record(&at, &records[count])) return -1;
    count++;
  }
  return has_repeated_key(records, count) ? -1 : count;
}

// Drops the slots that ended `seconds` or more before `now`, and records left
// without any; returns the records' new number.
static int drop_expired(RateRecord* records, int count, int seconds, long long now) {
  int kept_records = 0;
  for (int i = 0; i < count; i++) {
    RateRecord& record = records[i];
    int kept = 0;
    for (int s = 0; s < record.slot_count; s++) {
      RateSlot slot = record.slots[s];
      if (slot.time > now) slot.time = now;
      if (slot.time <= now - seconds) continue;
      record.slots[kept++] = slot;
    }
    record.slot_count = kept;
    if (kept > 0) {
      if (kept_records != i) records[kept_records] = record;
      kept_records++;
    }
  }
  return kept_records;
}

static long long messages_in(const RateRecord& record) {
  long long total = 0;
  for (int s = 0; s < record.slot_count; s++) total += record.slots[s].count;
  return total;
}

// One more message at `now`, which is never before the record's last slot.
static void count_message(RateRecord* record, long long now) {
  if (record->slot_count > 0 && record->slots[record->slot_count - 1].time == now) {
    record->slots[record->slot_count - 1].count++;
    return;
  }
  if (record->slot_count == RATE_SLOTS) {
    // The two oldest become one at the later time: they expire later than
    // they would have, so the record never counts fewer messages than were
    // sent in a window.
    record->slots[1].count += record->slots[0].count;
    std::memmove(record->slots, record->slots + 1, sizeof(RateSlot) * (RATE_SLOTS - 1));
    record->slot_count--;
  }
  record->slots[record->slot_count].time = now;
  record->slots[record->slot_count].count = 1;
  record->slot_count++;
}

static void write_table(TextBuffer* out, const RateRecord* records, int count) {
  text_buffer_setf(out, "%s\n", RATE_FILE_HEADER);
  for (int i = 0; i < count; i++) {
    text_buffer_appendf(out, "%s", records[i].key);
    for (int s = 0; s < records[i].slot_count; s++)
      text_buffer_appendf(out, " %lld:%d", records[i].slots[s].time, records[i].slots[s].count);
    text_buffer_appendf(out, "\n");
  }
}

RateOutcome rate_table_take(const char* text, const char* key, int limit, int seconds, long long now,
                            TextBuffer* updated, bool* damaged) {
  *damaged = false;
  // Room for every line of the text and one new address.
  int lines = 0;
  for (const char* at = std::strchr(text, '\n'); at != nullptr && lines <= RATE_FILE_MAX_ADDRESSES;
       at = std::strchr(at + 1, '\n'))
    lines++;
  int room = lines + 1;
  RateRecord* records = static_cast<RateRecord*>(
      allocate_or_fatal(sizeof(RateRecord) * static_cast<std::size_t>(room), NO_MEMORY));
  int count = read_table(text, records, RATE_FILE_MAX_ADDRESSES < room ? RATE_FILE_MAX_ADDRESSES : room);
  if (count < 0) {
    *damaged = true;
    count = 0;
  }
  count = drop_expired(records, count, seconds, now);

  int mine = -1;
  for (int i = 0; i < count && mine < 0; i++)
    if (std::strcmp(records[i].key, key) == 0) mine = i;
  if (mine >= 0 && messages_in(records[mine]) >= limit) {
    std::free(records);
    return RATE_REFUSED;
  }
  if (mine < 0) {
    mine = count++;
    std::snprintf(records[mine].key, RATE_KEY_SIZE, "%s", key);
    records[mine].slot_count = 0;
  }
  count_message(&records[mine], now);

  if (count > RATE_FILE_MAX_ADDRESSES) {
    // One address too many at most: the one whose latest message is oldest
    // goes (never the one just counted, whose latest is `now`).
    int stalest = mine == 0 ? 1 : 0;
    for (int i = 0; i < count; i++) {
      if (i == mine) continue;
      const RateRecord& record = records[i];
      if (record.slots[record.slot_count - 1].time <
          records[stalest].slots[records[stalest].slot_count - 1].time)
        stalest = i;
    }
    std::memmove(records + stalest, records + stalest + 1,
                 sizeof(RateRecord) * static_cast<std::size_t>(count - stalest - 1));
    count--;
  }
  write_table(updated, records, count);
  std::free(records);
  return RATE_COUNTED;
}

// ---- the file ----

RateOutcome rate_limit_take(const char* path, const char* key, int limit, int seconds, long long now) {
  PlatformFile file = platform_data_open(path);
  if (file == PLATFORM_NO_FILE) {
    int error = errno;
    log_event(LOG_ERROR,
              "rate limit not applied: the rate file (%s) could not be opened for the reason (%d)(%s).", path,
              error, std::strerror(error));
    return RATE_NOT_APPLIED;
  }
  int locked = platform_file_lock_within(file, RATE_LOCK_TIMEOUT_MS);
  if (locked != 1) {
    int error = errno;
    if (locked == 0)
      log_event(LOG_ERROR, "rate limit not applied: the rate file (%s) was not free within %d ms.", path,
                RATE_LOCK_TIMEOUT_MS);
    else
      log_event(LOG_ERROR,
                "rate limit not applied: the rate file (%s) could not be locked for the reason (%d)(%s).", path,
                error, std::strerror(error));
    platform_append_close(file);
    return RATE_NOT_APPLIED;
  }

  char* text = nullptr;
  long long size = platform_data_read(file, &text, RATE_FILE_MAX_BYTES);
  RateOutcome outcome = RATE_NOT_APPLIED;
  if (size < 0) {
    int error = errno;
    log_event(LOG_ERROR,
              "rate limit not applied: the rate file (%s) could not be read for the reason (%d)(%s).", path, error,
              std::strerror(error));
  } else {
    // A file too large for any rate file is read as an empty, damaged one.
    TextBuffer* updated = text_buffer_create("");
    bool damaged = false;
    outcome = rate_table_take(text != nullptr ? text : "", key, limit, seconds, now, updated, &damaged);
    // A NUL byte is no rate file's either.
    if (text == nullptr || std::strlen(text) != static_cast<std::size_t>(size)) damaged = true;
    if (damaged) log_event(LOG_ERROR, "the rate file (%s) was damaged and is started afresh.", path);
    if (outcome == RATE_COUNTED &&
        !platform_data_replace(file, updated->chars, static_cast<std::size_t>(updated->length))) {
      int error = errno;
      log_event(LOG_ERROR,
                "rate limit not applied: the rate file (%s) could not be written for the reason (%d)(%s).", path,
                error, std::strerror(error));
      outcome = RATE_NOT_APPLIED;
    }
    text_buffer_free(updated);
  }
  std::free(text);
  platform_file_unlock(file);
  platform_append_close(file);
  return outcome;
}
