#include "db/UpdateBatch.h"

#include "base/Ascii.h"
#include "base/Exception.h"
#include "db/Database.h"
#include "db/Query.h"

#include <algorithm>

namespace od {

namespace {

// The block's own names: a prefix no column of the shop's tables uses, so
// that a name in the UPDATE never means one of them.
constexpr char kCount[] = "B$N";
constexpr char kResult[] = "B$R";

std::string LineParam(int line, int param) { return "B$" + std::to_string(line) + "_" + std::to_string(param); }

// The UPDATE's text without blanks or a statement end after it, on lines of
// its own: a line comment at its end must not swallow what follows.
std::string UpdateBody(std::string_view updateText, const std::vector<TParamOccurrence>& params, int line) {
  std::string body;
  size_t from = 0;
  for (size_t j = 0; j < params.size(); ++j) {
    const size_t start = static_cast<size_t>(params[j].StartPos) - 1;
    body.append(updateText.substr(from, start - from));
    body += ":" + LineParam(line, static_cast<int>(j));
    from = static_cast<size_t>(params[j].EndPos);
  }
  body.append(updateText.substr(from));
  while (!body.empty() && (IsBlankOrControl(body.back()) || body.back() == ';')) body.pop_back();
  return body + "\r\n";
}

// The declaration of a parameter of the described type. Text keeps its
// character set and its length in characters.
struct TCharSet {
  std::string Name;
  int BytesPerChar = 1;
};

TCharSet CharSetOf(TFbCustomQuery& update, int id) {
  TFbQuery query;
  query.SetName("SQLCharSet");
  query.SetDatabase(update.Database());
  query.SetTransaction(update.Transaction());
  query.SQL().Assign({"SELECT RDB$CHARACTER_SET_NAME, RDB$BYTES_PER_CHARACTER FROM RDB$CHARACTER_SETS",
                      "WHERE RDB$CHARACTER_SET_ID = :ID"});
  query.ParameterByName("ID").SetAsInteger(id);
  query.ExecQuery();
  if (query.Eof()) throw Exception("the character set " + std::to_string(id) + " of a parameter is not known");
  TCharSet charSet{Trim(query.ColumnAt(0).AsString()), query.ColumnAt(1).AsInteger()};
  query.Close();
  if (charSet.BytesPerChar < 1) charSet.BytesPerChar = 1;
  return charSet;
}

std::string IntegerType(const char* name, int precision, short scale) {
  if (scale == 0) return name;
  return "NUMERIC(" + std::to_string(precision) + ", " + std::to_string(-scale) + ")";
}

std::string DeclaredType(TFbCustomQuery& update, const TFbXSQLVAR& described) {
  const int dialect = update.Database() != nullptr ? update.Database()->SQLDialect() : 3;
  switch (described.DataType()) {
  case kSqlShort: return IntegerType("SMALLINT", 4, described.SqlScale());
  case kSqlLong: return IntegerType("INTEGER", 9, described.SqlScale());
  case kSqlInt64: return IntegerType("BIGINT", 18, described.SqlScale());
  case kSqlFloat: return "FLOAT";
  case kSqlDouble: return "DOUBLE PRECISION";
  // Dialect 1 knows a date with its time only by the name DATE.
  case kSqlTimestamp: return dialect < 3 ? "DATE" : "TIMESTAMP";
  case kSqlTypeDate: return "DATE";
  case kSqlTypeTime: return "TIME";
  case kSqlBoolean: return "BOOLEAN";
  case kSqlText:
  case kSqlVarying: {
    const TCharSet charSet = CharSetOf(update, described.SqlSubtype() & 0xFF);
    const int chars = std::max(1, described.SqlLen() / charSet.BytesPerChar);
    return std::string(described.DataType() == kSqlText ? "CHAR(" : "VARCHAR(") + std::to_string(chars) +
           ") CHARACTER SET " + charSet.Name;
  }
  default:
    throw Exception("a parameter of the SQL type " + std::to_string(described.DataType()) +
                    " cannot be declared in a block");
  }
}

} // namespace

std::string UpdateBlockText(std::string_view updateText, const std::vector<TParamOccurrence>& params,
                            const std::vector<std::string>& types, int lines) {
  std::string text = std::string("EXECUTE BLOCK (") + kCount + " INTEGER = :" + kCount;
  for (int line = 0; line < lines; ++line) {
    for (size_t j = 0; j < params.size(); ++j) {
      const std::string name = LineParam(line, static_cast<int>(j));
      text += ", " + name + " " + types[j] + " = :" + name;
    }
  }
  text += ")\r\nRETURNS (" + std::string(kResult) + " VARCHAR(" + std::to_string(lines) +
          ") CHARACTER SET OCTETS)\r\nAS\r\nBEGIN\r\n  " + kResult + " = '';\r\n";
  // Each line in a block of its own: a refused UPDATE undoes its own work
  // only, and the handler notes the line instead of ending the block.
  for (int line = 0; line < lines; ++line) {
    text += "  IF (" + std::string(kCount) + " > " + std::to_string(line) + ") THEN BEGIN\r\n";
    text += UpdateBody(updateText, params, line);
    text += ";\r\n  " + std::string(kResult) + " = " + kResult + " || '0';\r\n  WHEN ANY DO " + kResult + " = " +
            kResult + " || '1';\r\n  END\r\n";
  }
  // A block with an output is a cursor: its one row is fetched.
  return text + "  SUSPEND;\r\nEND";
}

TUpdateBatch::TUpdateBatch(TFbCustomQuery& update, int lines) : update_(update), wanted_(std::max(1, lines)) {}

TUpdateBatch::~TUpdateBatch() = default;

std::vector<std::string> TUpdateBatch::DeclaredTypes() {
  const std::string text = update_.SQL().Text();
  params_ = ScanParams(text, ClassifySql(text)).Params;
  TFbXSQLDA& described = update_.ExecutionParams();
  if (static_cast<int>(params_.size()) != described.Count())
    throw Exception("the parameters of " + update_.FullName() + " do not match what the server describes");
  std::vector<std::string> types;
  for (int j = 0; j < described.Count(); ++j) types.push_back(DeclaredType(update_, described.At(j)));
  return types;
}

void TUpdateBatch::TryPrepare(const std::vector<std::string>& types, int lines) {
  block_ = std::make_unique<TFbQuery>();
  // Named after the UPDATE, as messages name it, but owned here.
  block_->SetName(update_.FullName() + "Batch");
  block_->SetDatabase(update_.Database());
  block_->SetTransaction(update_.Transaction());
  block_->SQL().SetText(UpdateBlockText(update_.SQL().Text(), params_, types, lines));
  block_->Prepare();
  capacity_ = lines;
  perLine_ = static_cast<int>(params_.size());
  filled_ = 0;
}

void TUpdateBatch::Prepare() {
  update_.Prepare();
  const std::vector<std::string> types = DeclaredTypes();
  for (int lines = wanted_;; lines = (lines + 1) / 2) {
    try {
      TryPrepare(types, lines);
      return;
    } catch (...) {
      block_.reset();
      capacity_ = 0;
      if (lines == 1) throw;
    }
  }
}

void TUpdateBatch::Take(int line) {
  TFbXSQLDA& values = update_.Params();
  TFbXSQLDA& block = block_->Params();
  for (int j = 0; j < perLine_; ++j) block.At(Index(line, j)).CopyFrom(values.At(j));
  filled_ = std::max(filled_, line + 1);
}

void TUpdateBatch::Give(int line) {
  TFbXSQLDA& values = update_.Params();
  TFbXSQLDA& block = block_->Params();
  for (int j = 0; j < perLine_; ++j) values.At(j).CopyFrom(block.At(Index(line, j)));
}

std::vector<bool> TUpdateBatch::Execute(int count) {
  TFbXSQLDA& block = block_->Params();
  block.At(0).SetAsInteger(count);
  for (; filled_ < capacity_; ++filled_)
    for (int j = 0; j < perLine_; ++j) block.At(Index(filled_, j)).CopyFrom(block.At(Index(0, j)));
  block_->ExecQuery();
  const std::string flags = block_->ColumnAt(0).AsString();
  block_->Close();
  if (static_cast<int>(flags.size()) != count)
    throw Exception(block_->FullName() + " answered for " + std::to_string(flags.size()) + " lines of " +
                    std::to_string(count));
  std::vector<bool> refused(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) refused[static_cast<size_t>(i)] = flags[static_cast<size_t>(i)] != '0';
  return refused;
}

} // namespace od
