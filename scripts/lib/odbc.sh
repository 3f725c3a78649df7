# ODBC set-up shared by the scripts (source it): the SQLite database files,
# odbcinst.ini with the two drivers, and odbc.ini files that define the data
# source xfODBC. The driver manager finds them through ODBCSYSINI (the folder
# that holds odbcinst.ini) and ODBCINI (the path of odbc.ini); travcard itself
# reads no environment variable, so the scripts set these for what they start.

source "$(dirname "${BASH_SOURCE[0]}")/paths.sh"

# odbc_driver_library FILE: the full path of an installed ODBC driver library.
odbc_driver_library() {
  local file="$1" path
  path="$(dpkg -L libsqliteodbc odbc-postgresql 2>/dev/null | grep -m1 "/$file\$" || true)"
  if [[ -z "$path" ]]; then
    path="$(ls /usr/lib/*/odbc/"$file" /usr/lib/odbc/"$file" 2>/dev/null | head -n1 || true)"
  fi
  if [[ ! -f "$path" ]]; then
    echo "ODBC driver $file is not installed (scripts/install-deps installs it)." >&2
    return 1
  fi
  echo "$path"
}

# odbc_create_sqlite DB_FILE: a fresh SQLite file holding the demo tables.
odbc_create_sqlite() {
  local db="$1"
  rm -f "$db.new"
  cat "$travcard_root/demo/schema-sqlite.sql" "$travcard_root/demo/data.sql" | sqlite3 -bail "$db.new"
  mv "$db.new" "$db"
}

# odbc_write_odbcinst DIR: DIR/odbcinst.ini naming the SQLite3 and PostgreSQL Unicode drivers.
# DontDLClose keeps a driver loaded until the program ends, so that the leak
# reports of the sanitizer build can name the driver that allocated.
odbc_write_odbcinst() {
  local dir="$1" sqlite_driver postgresql_driver
  sqlite_driver="$(odbc_driver_library libsqlite3odbc.so)"
  postgresql_driver="$(odbc_driver_library psqlodbcw.so)"
  mkdir -p "$dir"
  cat >"$dir/odbcinst.ini" <<EOF
[SQLite3]
Description=SQLite3 ODBC driver
Driver=$sqlite_driver
DontDLClose=1

[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode)
Driver=$postgresql_driver
DontDLClose=1
EOF
}

# odbc_write_sqlite_dsn INI_FILE DB_FILE: the data source xfODBC on a SQLite file.
odbc_write_sqlite_dsn() {
  local ini="$1" db
  db="$(cd "$(dirname "$2")" && pwd)/$(basename "$2")"
  cat >"$ini" <<EOF
[xfODBC]
Description=travcard ERP tables (SQLite)
Driver=SQLite3
Database=$db
; Keep the driver's own UTF-8 to UTF-16 conversion for wide-character reads.
NoWCHAR=0
; Long names would report columns as TABLE.COLUMN; they are read by plain name.
LongNames=0
; Fail rather than create an empty database when the file is missing.
NoCreat=1
; Forward-only result sets step through the rows instead of loading them all first.
StepAPI=1
EOF
}

# odbc_write_postgresql_dsn INI_FILE PORT [DATABASE]: the data source xfODBC on
# the database (travcard unless named) of a PostgreSQL server on 127.0.0.1;
# the program gives the login.
odbc_write_postgresql_dsn() {
  local ini="$1" port="$2" database="${3:-travcard}"
  cat >"$ini" <<EOF
[xfODBC]
Description=travcard ERP tables (PostgreSQL)
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$port
Database=$database
SSLmode=disable
EOF
}

# The driver manager converts SQL text between UTF-16 and the process's
# character set; without a UTF-8 locale it mangles non-ASCII letters.
odbc_use_utf8_locale() {
  if [[ "$(locale charmap 2>/dev/null)" != "UTF-8" ]]; then
    export LC_ALL=C.UTF-8
  fi
}

# odbc_print_env ODBCINST_DIR INI_FILE: the environment that selects a data source.
odbc_print_env() {
  printf 'export ODBCSYSINI=%q\nexport ODBCINI=%q\n' "$1" "$2"
}
