// The run's UPDATE executed for 100,000 goods lines in one transaction:
// through the statement layer (close, two parameter look-ups and setters,
// ExecQuery per row, as the run does it) and as a bare loop of the same
// isc_dsql_execute calls on the same attachment. Each pass is one
// transaction of 100,000 executions, rolled back untimed. Reports the time
// per execution of each side and the layer's cost as a ratio of the bare
// loop's, in wall and in thread CPU time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <ctime>
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

// Wall and thread CPU time of one pass, in seconds.
struct TPassTime {
  double wall = 0;
  double cpu = 0;
};

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Times `body` inside a transaction that is started before and rolled back
// after the clock runs.
template <typename Body> TPassTime TimedPass(TSetup& s, Body&& body) {
  s.form->Tr().StartTransaction();
  const auto wallStart = std::chrono::steady_clock::now();
  const double cpuStart = ThreadCpuSeconds();
  body();
  const TPassTime time{std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count(),
                       ThreadCpuSeconds() - cpuStart};
  s.form->Tr().Rollback();
  return time;
}

TPassTime LayerPass(TSetup& s) {
  return TimedPass(s, [&] {
    for (int row = 1; row <= kRows; ++row) {
      s.update->Close();
      s.update->ParameterByName("ID").SetAsInteger(row);
      s.update->ParameterByName("DATA_TIME_SEND").SetAsDateTime(StampFor(row));
      s.update->ExecQuery();
    }
  });
}

TPassTime BarePass(TSetup& s) {
  IIBClientLibrary& lib = *s.form->DB().ClientLibrary();
  const char* sql = "UPDATE TBL_ZAKAZ_TOVARS SET DATA_TIME_SEND=? WHERE ID=?";
  isc_stmt_handle stmt = 0;
  CheckFbResult(lib, lib.isc_dsql_alloc_statement2(StatusVector(), s.form->DB().HandleAddress(), &stmt), nullptr);
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
  bool prepared = false;
  const TPassTime time = TimedPass(s, [&] {
    // The prepare needs the transaction; it is one call against 100,000.
    prepared = lib.isc_dsql_prepare(StatusVector(), s.form->Tr().HandleAddress(), &stmt, 0, sql, 3, nullptr) == 0;
    if (!prepared) return;
    for (int row = 1; row <= kRows; ++row) {
      const TIscTimestamp value = DateTimeToIscTimestamp(StampFor(row));
      stamp.timestamp_date = value.Date;
      stamp.timestamp_time = value.Time;
      id = row;
      if (lib.isc_dsql_execute(StatusVector(), s.form->Tr().HandleAddress(), &stmt, 3, in) != 0) break;
    }
  });
  lib.isc_dsql_free_statement(StatusVector(), &stmt, DSQL_drop);
  if (!prepared) throw Exception("the bare UPDATE did not prepare");
  return time;
}

// Each pass leaves the table a little slower for the next one (the rolled
// back record versions), so the two sides run in the order A B B A within
// every iteration and the drift falls on both alike.
void BM_UpdateLayerVersusBare(benchmark::State& state) {
  TSetup& s = Setup();
  TPassTime bare;
  TPassTime layer;
  auto add = [](TPassTime& sum, TPassTime pass) {
    sum.wall += pass.wall;
    sum.cpu += pass.cpu;
  };
  for (auto _ : state) {
    add(bare, BarePass(s));
    add(layer, LayerPass(s));
    add(layer, LayerPass(s));
    add(bare, BarePass(s));
  }
  const double executes = static_cast<double>(state.iterations()) * 2 * kRows;
  state.counters["bare_us"] = bare.wall / executes * 1e6;
  state.counters["layer_us"] = layer.wall / executes * 1e6;
  state.counters["ratio_wall"] = layer.wall / bare.wall;
  state.counters["ratio_cpu"] = layer.cpu / bare.cpu;
  state.counters["prepares"] = static_cast<double>(s.update->PrepareCount());
}

BENCHMARK(BM_UpdateLayerVersusBare)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace od

BENCHMARK_MAIN();
