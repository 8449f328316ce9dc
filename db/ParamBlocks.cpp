#include "db/ParamBlocks.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "base/Ascii.h"
#include "db/FbErrors.h"
#include "db/ibase_api.h"
#include "text/DateTime.h"

namespace od {

namespace {

// Past the codes the client header declares: InterBase's instance name.
constexpr int kDpbInstanceName = 75;

// Code = position from 1 = the C API's isc_dpb_ constant of that name.
constexpr std::array<std::string_view, 83> kDpbNames = {
    "cdd_pathname",
    "allocation",
    "journal",
    "page_size",
    "num_buffers",
    "buffer_length",
    "debug",
    "garbage_collect",
    "verify",
    "sweep",
    "enable_journal",
    "disable_journal",
    "dbkey_scope",
    "number_of_users",
    "trace",
    "no_garbage_collect",
    "damaged",
    "license",
    "sys_user_name",
    "encrypt_key",
    "activate_shadow",
    "sweep_interval",
    "delete_shadow",
    "force_write",
    "begin_log",
    "quit_log",
    "no_reserve",
    "user_name",
    "password",
    "password_enc",
    "sys_user_name_enc",
    "interp",
    "online_dump",
    "old_file_size",
    "old_num_files",
    "old_file",
    "old_start_page",
    "old_start_seqno",
    "old_start_file",
    "drop_walfile",
    "old_dump_id",
    "wal_backup_dir",
    "wal_chkptlen",
    "wal_numbufs",
    "wal_bufsize",
    "wal_grp_cmt_wait",
    "lc_messages",
    "lc_ctype",
    "cache_manager",
    "shutdown",
    "online",
    "shutdown_delay",
    "reserved",
    "overwrite",
    "sec_attach",
    "disable_wal",
    "connect_timeout",
    "dummy_packet_interval",
    "gbak_attach",
    "sql_role_name",
    "set_page_buffers",
    "working_directory",
    "sql_dialect",
    "set_db_readonly",
    "set_db_sql_dialect",
    "gfix_attach",
    "gstat_attach",
    "gbak_ods_version",
    "gbak_ods_minor_version",
    "set_group_commit",
    "gbak_validate",
    "client_interbase_var",
    "admin_option",
    "flush_interval",
    "instance_name",
    "old_overwrite",
    "archive_database",
    "archive_journals",
    "archive_sweep",
    "archive_dumps",
    "archive_recover",
    "recover_until",
    "force",
};

constexpr std::array<std::string_view, 21> kTpbNames = {
    "consistency",      "concurrency",  "shared",         "protected",  "exclusive",   "wait",
    "nowait",           "read",         "write",          "lock_read",  "lock_write",  "verb_time",
    "commit_time",      "ignore_limbo", "read_committed", "autocommit", "rec_version", "no_rec_version",
    "restart_requests", "no_auto_undo", "no_savepoint",
};

// A sorted name -> code index over one of the tables, built once.
template <size_t N> class TNameIndex {
public:
  explicit TNameIndex(const std::array<std::string_view, N>& names) {
    for (size_t i = 0; i < N; ++i) entries_[i] = {names[i], static_cast<int>(i + 1)};
    std::sort(entries_.begin(), entries_.end());
  }
  int Find(std::string_view lowerName) const {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), std::pair<std::string_view, int>(lowerName, 0));
    return it != entries_.end() && it->first == lowerName ? it->second : 0;
  }

private:
  std::array<std::pair<std::string_view, int>, N> entries_{};
};

const TNameIndex<83>& DpbIndex() {
  static const TNameIndex<83> index(kDpbNames);
  return index;
}

const TNameIndex<21>& TpbIndex() {
  static const TNameIndex<21> index(kTpbNames);
  return index;
}

// The name as the tables know it: lower case, without the API prefix.
std::string LookupName(std::string_view name, std::string_view prefix) {
  std::string lower = LowerAscii(name);
  if (lower.starts_with(prefix)) lower.erase(0, prefix.size());
  return lower;
}

[[noreturn]] void RaiseNotAnInteger(std::string_view value) {
  throw EConvertError("'" + std::string(value) + "' is not a valid integer value");
}

// A decimal integer in the signed 32-bit range: optional leading blanks (as
// the runtime's conversion allows), an optional sign, then digits only.
std::int32_t ParseInteger(std::string_view value) {
  size_t i = 0;
  while (i < value.size() && value[i] == ' ') ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  if (i == value.size()) RaiseNotAnInteger(value);
  std::int64_t number = 0;
  for (; i < value.size(); ++i) {
    if (!IsDigit(value[i])) RaiseNotAnInteger(value);
    number = number * 10 + (value[i] - '0');
    if (number > static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1) RaiseNotAnInteger(value);
  }
  if (negative) number = -number;
  if (number > std::numeric_limits<std::int32_t>::max()) RaiseNotAnInteger(value);
  return static_cast<std::int32_t>(number);
}

void CheckValueLength(std::string_view name, std::string_view value) {
  if (value.size() > kMaxParamValueLength)
    RaiseClientErrorText("Value of %s is too long (%d bytes, at most 255).",
                         {name, static_cast<long long>(value.size())});
}

void AppendCounted(std::string& block, int code, std::string_view name, std::string_view value) {
  CheckValueLength(name, value);
  block += static_cast<char>(code);
  block += static_cast<char>(value.size());
  block.append(value);
}

struct TLine {
  std::string name; // as looked up
  std::string value;
  bool empty;
};

// Trims the line in place (written back into the list) and splits it.
TLine ReadLine(TStringList& lines, int index, std::string_view prefix) {
  std::string trimmed = Trim(lines.Get(index));
  lines.Put(index, trimmed);
  if (trimmed.empty()) return {{}, {}, true};
  const size_t equals = trimmed.find('=');
  std::string_view text(trimmed);
  std::string_view name = equals == std::string::npos ? text : text.substr(0, equals);
  std::string_view value = equals == std::string::npos ? std::string_view() : text.substr(equals + 1);
  return {LookupName(name, prefix), std::string(value), false};
}

void CheckBlockLength(const std::string& block, size_t limit, const char* kind) {
  if (block.size() > limit)
    RaiseClientErrorText("%s is too long (%d bytes, at most %d).",
                         {kind, static_cast<long long>(block.size()), static_cast<long long>(limit)});
}

// The loop of both builders: every line trimmed and written back, blank ones
// passed over, each other one handed on with its table code (0 when unknown).
template <size_t N, typename Append>
void ForEachItem(TStringList& lines, std::string_view prefix, const TNameIndex<N>& index, Append&& append) {
  for (int i = 0; i < lines.Count(); ++i) {
    const TLine line = ReadLine(lines, i, prefix);
    if (line.empty) continue;
    append(index.Find(line.name), line);
  }
}

// An item whose value is one byte.
void AppendByte(std::string& block, int code, char value) {
  block += static_cast<char>(code);
  block += '\1';
  block += value;
}

void AppendDpbItem(std::string& block, int code, const TLine& line) {
  switch (code) {
  // text
  case isc_dpb_license:
  case isc_dpb_sys_user_name:
  case isc_dpb_encrypt_key:
  case isc_dpb_user_name:
  case isc_dpb_password:
  case isc_dpb_password_enc:
  case isc_dpb_old_file:
  case isc_dpb_lc_messages:
  case isc_dpb_lc_ctype:
  case isc_dpb_sql_role_name:
  case kDpbInstanceName: AppendCounted(block, code, DpbName(code), line.value); break;
  case isc_dpb_sql_dialect: { // the first character becomes the byte of its digit
    std::string value = line.value;
    if (value.empty() || !IsDigit(value[0])) RaiseNotAnInteger(value.substr(0, 1));
    value[0] = static_cast<char>(value[0] - '0');
    AppendCounted(block, code, DpbName(code), value);
    break;
  }
  // one-byte numbers
  case isc_dpb_num_buffers:
  case isc_dpb_verify:
  case isc_dpb_dbkey_scope:
  case isc_dpb_damaged:
  case isc_dpb_force_write:
  case isc_dpb_no_reserve:
  case isc_dpb_online_dump:
  case isc_dpb_old_file_size:
  case isc_dpb_overwrite:
  case isc_dpb_connect_timeout:
  case isc_dpb_dummy_packet_interval:
    AppendByte(block, code, static_cast<char>(static_cast<std::uint32_t>(ParseInteger(line.value)) & 0xFF));
    break;
  // switches
  case isc_dpb_garbage_collect:
  case isc_dpb_no_garbage_collect:
  case isc_dpb_activate_shadow:
  case isc_dpb_delete_shadow:
  case isc_dpb_begin_log:
  case isc_dpb_quit_log: AppendByte(block, code, '\0'); break;
  case isc_dpb_sweep: AppendByte(block, code, '\2'); break;
  case isc_dpb_sweep_interval: { // 4 bytes, least significant first
    const auto value = static_cast<std::uint32_t>(ParseInteger(line.value));
    block += static_cast<char>(code);
    block += '\4';
    for (int shift = 0; shift < 32; shift += 8) block += static_cast<char>((value >> shift) & 0xFF);
    break;
  }
  case 0: RaiseClientError(fbceDPBConstantUnknown, {line.name});
  default: RaiseClientError(fbceDPBConstantNotSupported, {DpbName(code)});
  }
}

void AppendTpbItem(std::string& block, int code, const TLine& line) {
  switch (code) {
  case isc_tpb_lock_read:
  case isc_tpb_lock_write: // the table name
    AppendCounted(block, code, TpbName(code), line.value);
    break;
  case isc_tpb_verb_time:
  case isc_tpb_commit_time:
  case isc_tpb_autocommit:
  case isc_tpb_restart_requests: RaiseClientError(fbceTPBConstantNotSupported, {TpbName(code)});
  case 0: RaiseClientError(fbceTPBConstantUnknown, {line.name});
  default: block += static_cast<char>(code);
  }
}

} // namespace

void TFbParamList::BeforeChange() {
  if (guard_) guard_();
  changed_ = true;
}

void TFbParamList::Put(int index, std::string line) {
  BeforeChange();
  lines_.Put(index, std::move(line));
}

void TFbParamList::Add(std::string line) {
  BeforeChange();
  lines_.Add(std::move(line));
}

void TFbParamList::Insert(int index, std::string line) {
  BeforeChange();
  lines_.Insert(index, std::move(line));
}

void TFbParamList::Delete(int index) {
  BeforeChange();
  lines_.Delete(index);
}

void TFbParamList::Clear() {
  BeforeChange();
  lines_.Clear();
}

void TFbParamList::SetText(std::string_view text) {
  BeforeChange();
  lines_.SetText(text);
}

void TFbParamList::Assign(std::initializer_list<std::string_view> lines) {
  BeforeChange();
  lines_.Clear();
  for (std::string_view line : lines) lines_.Add(std::string(line));
}

std::string TFbParamList::Value(std::string_view name) const {
  const int index = lines_.IndexOfName(name);
  return index < 0 ? std::string() : std::string(TStringList::ValueOf(lines_.Get(index)));
}

int DpbCode(std::string_view name) { return DpbIndex().Find(LookupName(name, "isc_dpb_")); }
int TpbCode(std::string_view name) { return TpbIndex().Find(LookupName(name, "isc_tpb_")); }

std::string_view DpbName(int code) {
  return code >= 1 && code <= static_cast<int>(kDpbNames.size()) ? kDpbNames[static_cast<size_t>(code - 1)]
                                                                 : std::string_view();
}

std::string_view TpbName(int code) {
  return code >= 1 && code <= static_cast<int>(kTpbNames.size()) ? kTpbNames[static_cast<size_t>(code - 1)]
                                                                 : std::string_view();
}

std::string BuildDPB(TStringList& lines) {
  std::string block(1, static_cast<char>(isc_dpb_version1));
  ForEachItem(lines, "isc_dpb_", DpbIndex(), [&](int code, const TLine& line) { AppendDpbItem(block, code, line); });
  CheckBlockLength(block, kMaxDpbLength, "DPB");
  return block;
}

std::string BuildTPB(TStringList& lines) {
  std::string block;
  if (lines.Count() == 0) return block;
  block += static_cast<char>(isc_tpb_version3);
  ForEachItem(lines, "isc_tpb_", TpbIndex(), [&](int code, const TLine& line) { AppendTpbItem(block, code, line); });
  CheckBlockLength(block, kMaxTpbLength, "TPB");
  return block;
}

} // namespace od
