// The run's UPDATE executed for 100,000 goods lines in one transaction:
// through the statement layer (close, two parameter look-ups and setters,
// ExecQuery per row, as the run does it) and as a bare loop of the same
// isc_dsql_execute calls on the same attachment. Each iteration is one
// transaction of 100,000 executions, rolled back untimed so that every
// iteration meets the same table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "db/ClientLibrary.h"
#include "db/FbErrors.h"
#include "db/XSQLDA.h"
#include "db/ibase_api.h"
#include "tests/db/QueryFixture.h"

namespace od {
namespace {

constexpr int kRows = 100'000;

struct TSetup {
  test::TestDatabase file{"bench"};
  std::unique_ptr<test::TConnectedForm> form;
  TFbQuery* update = nullptr;

  TSetup() {
    file.Execute("CREATE TABLE TBL_ZAKAZ_TOVARS (ID INTEGER NOT NULL PRIMARY KEY, ZAKAZ_ID INTEGER,"
                 " DATA_TIME_SEND TIMESTAMP)");
    file.Execute("EXECUTE BLOCK AS DECLARE I INT = 1; BEGIN WHILE (I <= 100000) DO BEGIN "
                 "INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (:I, :I / 3); I = I + 1; END END");
    form = std::make_unique<test::TConnectedForm>(file);
    update = &form->AddQuery(
        "SQLUpdateID", {"UPDATE TBL_ZAKAZ_TOVARS SET ", "   DATA_TIME_SEND=:DATA_TIME_SEND", "WHERE", "    ID=:ID"});
    form->DB().Open();
  }
};

TSetup& Setup() {
  static TSetup setup;
  return setup;
}

TDateTime StampFor(int row) { return 45356.6043431713 + row / 1000.0; }

void BM_UpdateThroughLayer(benchmark::State& state) {
  TSetup& s = Setup();
  for (auto _ : state) {
    state.PauseTiming();
    s.form->Tr().StartTransaction();
    state.ResumeTiming();
    for (int row = 1; row <= kRows; ++row) {
      s.update->Close();
      s.update->ParameterByName("ID").SetAsInteger(row);
      s.update->ParameterByName("DATA_TIME_SEND").SetAsDateTime(StampFor(row));
      s.update->ExecQuery();
    }
    state.PauseTiming();
    s.form->Tr().Rollback();
    state.ResumeTiming();
  }
  state.counters["per_execute_us"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["prepares"] = static_cast<double>(s.update->PrepareCount());
}

void BM_UpdateBareLoop(benchmark::State& state) {
  TSetup& s = Setup();
  IIBClientLibrary& lib = *s.form->DB().ClientLibrary();
  const char* sql = "UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND=? WHERE ID=?";
  for (auto _ : state) {
    state.PauseTiming();
    s.form->Tr().StartTransaction();
    isc_stmt_handle stmt = 0;
    CheckFbResult(lib, lib.isc_dsql_alloc_statement2(StatusVector(), s.form->DB().HandleAddress(), &stmt), nullptr);
    CheckFbResult(lib, lib.isc_dsql_prepare(StatusVector(), s.form->Tr().HandleAddress(), &stmt, 0, sql, 3, nullptr),
                  nullptr);
    std::unique_ptr<char[]> buffer(new char[XSQLDA_LENGTH(2)]());
    XSQLDA* in = reinterpret_cast<XSQLDA*>(buffer.get());
    in->version = SQLDA_VERSION1;
    in->sqln = in->sqld = 2;
    ISC_TIMESTAMP stamp{};
    ISC_LONG id = 0;
    in->sqlvar[0].sqltype = SQL_TIMESTAMP;
    in->sqlvar[0].sqllen = sizeof stamp;
    in->sqlvar[0].sqldata = reinterpret_cast<char*>(&stamp);
    in->sqlvar[1].sqltype = SQL_LONG;
    in->sqlvar[1].sqllen = sizeof id;
    in->sqlvar[1].sqldata = reinterpret_cast<char*>(&id);
    state.ResumeTiming();
    for (int row = 1; row <= kRows; ++row) {
      const TIscTimestamp value = DateTimeToIscTimestamp(StampFor(row));
      stamp.timestamp_date = value.Date;
      stamp.timestamp_time = value.Time;
      id = row;
      if (lib.isc_dsql_execute(StatusVector(), s.form->Tr().HandleAddress(), &stmt, 3, in) != 0) {
        state.SkipWithError("isc_dsql_execute failed");
        break;
      }
    }
    state.PauseTiming();
    lib.isc_dsql_free_statement(StatusVector(), &stmt, DSQL_drop);
    s.form->Tr().Rollback();
    state.ResumeTiming();
  }
  state.counters["per_execute_us"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRows,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Interleaved, so that neither side always meets a warmer engine.
BENCHMARK(BM_UpdateBareLoop)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateThroughLayer)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateBareLoop)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_UpdateThroughLayer)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace od

BENCHMARK_MAIN();
