#include "db/FbStatement.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "db/FbApi.hpp"

namespace fbapi {

using namespace Firebird;

namespace {

constexpr unsigned CS_WIN1252 = 53;

// Releases an OO API interface at the end of a scope.
template <class T>
struct Ref {
  T* p = nullptr;
  Ref() = default;
  explicit Ref(T* q) : p(q) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    if (p) p->release();
  }
  T* operator->() const { return p; }
};

// Firebird strips nothing from CHAR values; the blanks are padding, not data.
std::string RightTrimmed(const char* data, size_t len) {
  while (len > 0 && data[len - 1] == ' ') --len;
  return std::string(data, len);
}

template <class T>
T Load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class T>
void Store(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

TDateTime Decode(ISC_DATE date, ISC_TIME time) {
  IUtil* util = Master()->getUtilInterface();
  TDateTime d;
  unsigned y = 0, m = 0, day = 0, h = 0, mi = 0, s = 0, frac = 0;
  util->decodeDate(date, &y, &m, &day);
  util->decodeTime(time, &h, &mi, &s, &frac);
  d.year = static_cast<int>(y);
  d.month = static_cast<int>(m);
  d.day = static_cast<int>(day);
  d.hour = static_cast<int>(h);
  d.minute = static_cast<int>(mi);
  d.second = static_cast<int>(s);
  d.msec = static_cast<int>(frac / 10);  // fractions are 1/10000 s
  return d;
}

ISC_TIMESTAMP Encode(const TDateTime& d) {
  IUtil* util = Master()->getUtilInterface();
  ISC_TIMESTAMP ts;
  ts.timestamp_date = util->encodeDate(static_cast<unsigned>(d.year), static_cast<unsigned>(d.month),
                                       static_cast<unsigned>(d.day));
  ts.timestamp_time = util->encodeTime(static_cast<unsigned>(d.hour), static_cast<unsigned>(d.minute),
                                       static_cast<unsigned>(d.second), static_cast<unsigned>(d.msec) * 10);
  return ts;
}

double Scaled(int64_t v, int scale) { return static_cast<double>(v) * std::pow(10.0, scale); }

TDbValue Numeric(int64_t v, int scale) {
  if (scale == 0) return v;
  return Scaled(v, scale);
}

std::string ReadBlob(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, ISC_QUAD id) {
  IBlob* blob = att->openBlob(&st, tra, &id, 0, nullptr);
  std::string content;
  try {
    char buf[16384];
    for (;;) {
      unsigned got = 0;
      int rc = blob->getSegment(&st, sizeof buf, buf, &got);
      if (rc == IStatus::RESULT_NO_DATA) break;
      content.append(buf, got);
    }
    blob->close(&st);
  } catch (...) {
    blob->release();
    throw;
  }
  return content;
}

ISC_QUAD WriteBlob(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, const std::string& data) {
  ISC_QUAD id{};
  IBlob* blob = att->createBlob(&st, tra, &id, 0, nullptr);
  try {
    size_t pos = 0;
    while (pos < data.size()) {
      size_t n = std::min<size_t>(data.size() - pos, 32768);
      blob->putSegment(&st, static_cast<unsigned>(n), data.data() + pos);
      pos += n;
    }
    blob->close(&st);
  } catch (...) {
    blob->release();
    throw;
  }
  return id;
}

TDbValue ReadColumn(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, IMessageMetadata* meta,
                    unsigned i, const unsigned char* buf) {
  if (Load<short>(buf + meta->getNullOffset(&st, i))) return std::monostate{};
  const unsigned char* p = buf + meta->getOffset(&st, i);
  const unsigned type = meta->getType(&st, i) & ~1u;
  const int scale = meta->getScale(&st, i);
  switch (type) {
    case SQL_TEXT:
      return RightTrimmed(reinterpret_cast<const char*>(p), meta->getLength(&st, i));
    case SQL_VARYING: {
      const auto len = Load<unsigned short>(p);
      return std::string(reinterpret_cast<const char*>(p + 2), len);
    }
    case SQL_SHORT: return Numeric(Load<int16_t>(p), scale);
    case SQL_LONG: return Numeric(Load<int32_t>(p), scale);
    case SQL_INT64: return Numeric(Load<int64_t>(p), scale);
    case SQL_FLOAT: return static_cast<double>(Load<float>(p));
    case SQL_DOUBLE:
    case SQL_D_FLOAT: return Load<double>(p);
    case SQL_TIMESTAMP: {
      auto ts = Load<ISC_TIMESTAMP>(p);
      return Decode(ts.timestamp_date, ts.timestamp_time);
    }
    case SQL_TYPE_DATE: return Decode(Load<ISC_DATE>(p), 0);
    case SQL_TYPE_TIME: {
      TDateTime t = Decode(0, Load<ISC_TIME>(p));
      TDateTime d;  // the zero date carries a time of day
      d.hour = t.hour, d.minute = t.minute, d.second = t.second, d.msec = t.msec;
      return d;
    }
    case SQL_BOOLEAN: return static_cast<int64_t>(*p ? 1 : 0);
    case SQL_BLOB: return ReadBlob(st, att, tra, Load<ISC_QUAD>(p));
    case SQL_NULL: return std::monostate{};
    default:
      throw std::runtime_error("unsupported column type " + std::to_string(type) + " (" +
                               meta->getAlias(&st, i) + ")");
  }
}

// Builds the input message in the types of the values given; the engine
// converts them to the types it described for the markers.
IMessageMetadata* InputMetadata(ThrowStatusWrapper& st, const std::vector<Param>& params) {
  Ref<IMetadataBuilder> b(Master()->getMetadataBuilder(&st, static_cast<unsigned>(params.size())));
  for (unsigned i = 0; i < params.size(); ++i) {
    const Param& prm = params[i];
    if (prm.isBlob) {
      b->setType(&st, i, SQL_BLOB + 1);
      b->setSubType(&st, i, 0);
      b->setLength(&st, i, sizeof(ISC_QUAD));
      continue;
    }
    const TDbValue& v = prm.value;
    if (std::holds_alternative<int64_t>(v)) {
      b->setType(&st, i, SQL_INT64 + 1);
      b->setScale(&st, i, 0);
      b->setLength(&st, i, sizeof(int64_t));
    } else if (std::holds_alternative<double>(v)) {
      b->setType(&st, i, SQL_DOUBLE + 1);
      b->setLength(&st, i, sizeof(double));
    } else if (std::holds_alternative<TDateTime>(v)) {
      b->setType(&st, i, SQL_TIMESTAMP + 1);
      b->setLength(&st, i, sizeof(ISC_TIMESTAMP));
    } else {
      const std::string* s = std::get_if<std::string>(&v);
      size_t len = s ? s->size() : 1;
      if (len > 32765) throw std::runtime_error("parameter " + std::to_string(i + 1) + " too long");
      b->setType(&st, i, SQL_VARYING + 1);
      b->setLength(&st, i, static_cast<unsigned>(len ? len : 1));
      b->setCharSet(&st, i, CS_WIN1252);
    }
  }
  return b->getMetadata(&st);
}

void FillInput(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, IMessageMetadata* meta,
               const std::vector<Param>& params, std::vector<unsigned char>& buf) {
  buf.assign(meta->getMessageLength(&st), 0);
  for (unsigned i = 0; i < params.size(); ++i) {
    const Param& prm = params[i];
    unsigned char* p = buf.data() + meta->getOffset(&st, i);
    short* isNull = reinterpret_cast<short*>(buf.data() + meta->getNullOffset(&st, i));
    if (prm.isBlob) {
      if (!prm.blob) {
        Store<short>(reinterpret_cast<unsigned char*>(isNull), -1);
      } else {
        Store(p, WriteBlob(st, att, tra, *prm.blob));
      }
      continue;
    }
    const TDbValue& v = prm.value;
    if (std::holds_alternative<std::monostate>(v)) {
      Store<short>(reinterpret_cast<unsigned char*>(isNull), -1);
    } else if (auto n = std::get_if<int64_t>(&v)) {
      Store(p, *n);
    } else if (auto d = std::get_if<double>(&v)) {
      Store(p, *d);
    } else if (auto t = std::get_if<TDateTime>(&v)) {
      Store(p, Encode(*t));
    } else {
      const std::string& s = std::get<std::string>(v);
      Store(p, static_cast<unsigned short>(s.size()));
      std::memcpy(p + 2, s.data(), s.size());
    }
  }
}

void RunChecked(ThrowStatusWrapper& st, IAttachment* att, ITransaction* tra, const std::string& sql,
                const std::vector<Param>& params, TResultTable* out,
                const std::function<void(const std::string&)>& onRowError) {
  // DSQL takes one statement without the script terminator.
  std::string text = sql;
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == ';')) text.pop_back();

  Ref<IStatement> stmt(att->prepare(&st, tra, 0, text.c_str(), 3, IStatement::PREPARE_PREFETCH_METADATA));
  {
    Ref<IMessageMetadata> described(stmt->getInputMetadata(&st));
    if (described->getCount(&st) != params.size())
      throw std::runtime_error("the statement has " + std::to_string(described->getCount(&st)) +
                               " parameter(s), " + std::to_string(params.size()) + " given");
  }
  Ref<IMessageMetadata> inMeta(InputMetadata(st, params));
  std::vector<unsigned char> inBuf;
  FillInput(st, att, tra, inMeta.p, params, inBuf);

  Ref<IMessageMetadata> outMeta(stmt->getOutputMetadata(&st));
  const unsigned cols = outMeta->getCount(&st);
  if (out) {
    out->columns.clear();
    out->rows.clear();
    for (unsigned i = 0; i < cols; ++i) {
      const char* alias = outMeta->getAlias(&st, i);
      out->columns.push_back({alias && *alias ? alias : outMeta->getField(&st, i), outMeta->getType(&st, i) & ~1u});
    }
  }
  std::vector<unsigned char> outBuf(outMeta->getMessageLength(&st));
  auto copyRow = [&] {
    if (!out) return;
    std::vector<TDbValue> row;
    try {
      row.reserve(cols);
      for (unsigned i = 0; i < cols; ++i) row.push_back(ReadColumn(st, att, tra, outMeta.p, i, outBuf.data()));
    } catch (const FbException& e) {
      if (onRowError) onRowError(ErrorText(e));
      return;
    } catch (const std::exception& e) {
      if (onRowError) onRowError(e.what());
      return;
    }
    out->rows.push_back(std::move(row));
  };

  const unsigned type = stmt->getType(&st);
  if (type == isc_info_sql_stmt_select || type == isc_info_sql_stmt_select_for_upd) {
    Ref<IResultSet> rs(stmt->openCursor(&st, tra, inMeta.p, inBuf.data(), outMeta.p, 0));
    while (rs->fetchNext(&st, outBuf.data()) == IStatus::RESULT_OK) copyRow();
    rs->close(&st);  // releases the cursor
    rs.p = nullptr;
  } else if (cols > 0) {
    stmt->execute(&st, tra, inMeta.p, inBuf.data(), outMeta.p, outBuf.data());
    copyRow();
  } else {
    stmt->execute(&st, tra, inMeta.p, inBuf.data(), nullptr, nullptr);
  }
  if (out) out->First();
}

}  // namespace

void Run(IAttachment* att, ITransaction* tra, const std::string& sql, const std::vector<Param>& params,
         TResultTable* out, const std::function<void(const std::string&)>& onRowError) {
  ThrowStatusWrapper st(Master()->getStatus());
  try {
    RunChecked(st, att, tra, sql, params, out, onRowError);
  } catch (const FbException& e) {
    std::string text = ErrorText(e);
    st.dispose();
    throw std::runtime_error(text);
  } catch (...) {
    st.dispose();
    throw;
  }
  st.dispose();
}

std::vector<Param> ToParams(const std::vector<TDbValue>& values) {
  std::vector<Param> out;
  out.reserve(values.size());
  for (const auto& v : values) out.push_back(Param{v, false, std::nullopt});
  return out;
}

}  // namespace fbapi
