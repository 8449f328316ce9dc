#pragma once

// Private to db/: the client library's C types and the table of its entry
// points. The library is never linked; every address comes from dlsym, every
// pointer type from the declarations in ibase.h. Nothing outside db/ (and its
// tests) includes this header.

#include <ibase.h>

#include <cstdint>

// The batch operations exist only in some client libraries and ibase.h does
// not declare them; their types follow the vendors' documented signatures.
namespace od::ib {

using batch_execute_immed_fn = ISC_STATUS (*)(ISC_STATUS*, isc_db_handle*, isc_tr_handle*, unsigned short, ISC_ULONG,
                                              ISC_SCHAR**, ISC_ULONG*);
using batch_execute_fn = ISC_STATUS (*)(ISC_STATUS*, isc_tr_handle*, isc_stmt_handle*, unsigned short, XSQLDA*,
                                        unsigned short, XSQLVAR**, ISC_ULONG*);

} // namespace od::ib

// Every entry point of the interface, in slot order. X(name) for the ones
// declared in ibase.h; the two batch operations carry their own types.
#define OD_IB_DECLARED_ENTRY_POINTS(X)                                                                                 \
  X(isc_attach_database)                                                                                               \
  X(isc_array_get_slice)                                                                                               \
  X(isc_array_lookup_bounds)                                                                                           \
  X(isc_array_lookup_desc)                                                                                             \
  X(isc_array_set_desc)                                                                                                \
  X(isc_array_put_slice)                                                                                               \
  X(isc_blob_info)                                                                                                     \
  X(isc_blob_lookup_desc)                                                                                              \
  X(isc_blob_set_desc)                                                                                                 \
  X(isc_cancel_blob)                                                                                                   \
  X(isc_cancel_events)                                                                                                 \
  X(isc_que_events)                                                                                                    \
  X(isc_wait_for_event)                                                                                                \
  X(isc_close_blob)                                                                                                    \
  X(isc_create_blob2)                                                                                                  \
  X(isc_commit_retaining)                                                                                              \
  X(isc_commit_transaction)                                                                                            \
  X(isc_transaction_info)                                                                                              \
  X(isc_database_info)                                                                                                 \
  X(isc_decode_date)                                                                                                   \
  X(isc_decode_sql_date)                                                                                               \
  X(isc_decode_sql_time)                                                                                               \
  X(isc_decode_timestamp)                                                                                              \
  X(isc_detach_database)                                                                                               \
  X(isc_drop_database)                                                                                                 \
  X(isc_dsql_alloc_statement2)                                                                                         \
  X(isc_dsql_describe)                                                                                                 \
  X(isc_dsql_describe_bind)                                                                                            \
  X(isc_dsql_execute)                                                                                                  \
  X(isc_dsql_execute2)                                                                                                 \
  X(isc_dsql_execute_immediate)                                                                                        \
  X(isc_dsql_exec_immed2)                                                                                              \
  X(isc_dsql_fetch)                                                                                                    \
  X(isc_dsql_free_statement)                                                                                           \
  X(isc_dsql_prepare)                                                                                                  \
  X(isc_dsql_set_cursor_name)                                                                                          \
  X(isc_dsql_sql_info)                                                                                                 \
  X(isc_encode_date)                                                                                                   \
  X(isc_encode_sql_date)                                                                                               \
  X(isc_encode_sql_time)                                                                                               \
  X(isc_encode_timestamp)                                                                                              \
  X(isc_event_block)                                                                                                   \
  X(isc_event_counts)                                                                                                  \
  X(isc_free)                                                                                                          \
  X(isc_get_segment)                                                                                                   \
  X(isc_put_segment)                                                                                                   \
  X(isc_interprete)                                                                                                    \
  X(isc_open_blob2)                                                                                                    \
  X(isc_prepare_transaction2)                                                                                          \
  X(isc_rollback_retaining)                                                                                            \
  X(isc_rollback_transaction)                                                                                          \
  X(isc_start_multiple)                                                                                                \
  X(isc_sqlcode)                                                                                                       \
  X(isc_sql_interprete)                                                                                                \
  X(isc_vax_integer)                                                                                                   \
  X(isc_add_user)                                                                                                      \
  X(isc_delete_user)                                                                                                   \
  X(isc_modify_user)                                                                                                   \
  X(isc_prepare_transaction)                                                                                           \
  X(BLOB_put)                                                                                                          \
  X(BLOB_get)

#define OD_IB_LATE_ENTRY_POINTS(X)                                                                                     \
  X(isc_service_attach)                                                                                                \
  X(isc_service_detach)                                                                                                \
  X(isc_service_query)                                                                                                 \
  X(isc_service_start)                                                                                                 \
  X(isc_get_client_version)                                                                                            \
  X(isc_get_client_major_version)                                                                                      \
  X(isc_get_client_minor_version)                                                                                      \
  X(isc_portable_integer)

namespace od {

// One slot per entry point; null until resolved. isc_interprete is declared
// deprecated in ibase.h, but it is the call the error texts are built with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct TIBEntryPoints {
#define OD_IB_SLOT(name) decltype(&::name) name = nullptr;
  OD_IB_DECLARED_ENTRY_POINTS(OD_IB_SLOT)
  ib::batch_execute_immed_fn isc_dsql_batch_execute_immed = nullptr;
  ib::batch_execute_fn isc_dsql_batch_execute = nullptr;
  OD_IB_LATE_ENTRY_POINTS(OD_IB_SLOT)
#undef OD_IB_SLOT
  // Not an operation of the interface: looked up so that the embedded engine
  // can be shut down before the process ends.
  decltype(&::fb_shutdown) fb_shutdown = nullptr;
};
#pragma GCC diagnostic pop

} // namespace od
