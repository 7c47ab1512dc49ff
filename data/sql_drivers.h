// The SQL drivers' connections. Each driver's library is opened with dlopen when a
// page first opens such a database: a page that uses none maps neither.

#ifndef DATA_SQL_DRIVERS_H_
#define DATA_SQL_DRIVERS_H_

#include "foundation/string.h"

class Kelp;
class SqlConnection;

// sqlite: the database file at name in the data directory, made when create and
// missing. Null with the reason in *error.
SqlConnection* OpenSqlite(Kelp* engine, const String& name, bool create, String* error);

// postgresql: the connection the configuration names (database is "NAME" or
// "NAME/DBNAME"); user and password, when given, replace the configured ones where
// the configuration allows it. The databases a request opens on one connection share
// it: *shared is then true and ReleasePostgresql() gives it back. Null with the
// reason in *error.
SqlConnection* ConnectPostgresql(Kelp* engine, const String& database, const String& user,
                                 const String& password, bool* shared, String* error);
void ReleasePostgresql(SqlConnection* connection);
// Whether a connection no database uses any more is kept for later requests (a
// FastCGI worker's, its session reset in between) rather than closed at once.
void KeepSqlConnections(bool keep);

// The whole number a value's text stands for, when it is one in its plain form (a
// digit string without leading zeros, with an optional "-", that fits 64 bits).
bool PlainWholeNumber(const String& text, long long* value);

#endif  // DATA_SQL_DRIVERS_H_
