// A stand-in for the client library that exports only the entry points the
// build asks for, so that the loader's failure paths can be driven with a
// real shared object. None of the functions is meant to be called except the
// version queries.

#define OD_EXPORT extern "C" __attribute__((visibility("default")))
#define OD_STUB(name)                                                                                                  \
  OD_EXPORT int name() { return 0; }

OD_STUB(BLOB_get)
OD_STUB(BLOB_put)
OD_STUB(isc_sqlcode)
OD_STUB(isc_sql_interprete)
OD_STUB(isc_interprete)
OD_STUB(isc_vax_integer)
OD_STUB(isc_blob_info)
OD_STUB(isc_open_blob2)
OD_STUB(isc_close_blob)
OD_STUB(isc_cancel_blob)
OD_STUB(isc_get_segment)
OD_STUB(isc_put_segment)
OD_STUB(isc_create_blob2)
OD_STUB(isc_decode_date)
OD_STUB(isc_encode_date)
OD_STUB(isc_dsql_free_statement)
OD_STUB(isc_dsql_execute2)
OD_STUB(isc_dsql_execute)
OD_STUB(isc_dsql_set_cursor_name)
#ifndef OD_FAKE_WITHOUT_FETCH
OD_STUB(isc_dsql_fetch)
#endif
OD_STUB(isc_dsql_sql_info)
OD_STUB(isc_dsql_alloc_statement2)
OD_STUB(isc_dsql_prepare)
OD_STUB(isc_dsql_describe_bind)
OD_STUB(isc_dsql_describe)
OD_STUB(isc_dsql_execute_immediate)
OD_STUB(isc_dsql_exec_immed2)
OD_STUB(isc_drop_database)
OD_STUB(isc_detach_database)
OD_STUB(isc_attach_database)
OD_STUB(isc_database_info)
OD_STUB(isc_start_multiple)
OD_STUB(isc_commit_transaction)
OD_STUB(isc_commit_retaining)
OD_STUB(isc_rollback_transaction)
OD_STUB(isc_cancel_events)
OD_STUB(isc_que_events)
OD_STUB(isc_event_counts)
OD_STUB(isc_event_block)
OD_STUB(isc_free)
OD_STUB(isc_array_lookup_bounds)
OD_STUB(isc_array_get_slice)
OD_STUB(isc_array_put_slice)
OD_STUB(isc_wait_for_event)
OD_STUB(isc_transaction_info)

#ifndef OD_FAKE_VERSION5
OD_STUB(isc_rollback_retaining)
OD_STUB(isc_service_attach)
OD_STUB(isc_service_detach)
OD_STUB(isc_service_query)
OD_STUB(isc_service_start)
OD_STUB(isc_decode_sql_date)
OD_STUB(isc_decode_sql_time)
OD_STUB(isc_decode_timestamp)
OD_STUB(isc_encode_sql_date)
OD_STUB(isc_encode_sql_time)
OD_STUB(isc_encode_timestamp)
OD_STUB(isc_portable_integer)
#endif

#ifdef OD_FAKE_MAJOR
OD_EXPORT void isc_get_client_version(char* text) {
  if (text != nullptr) text[0] = '\0';
}
OD_EXPORT int isc_get_client_major_version() { return OD_FAKE_MAJOR; }
OD_EXPORT int isc_get_client_minor_version() { return OD_FAKE_MINOR; }
#endif
