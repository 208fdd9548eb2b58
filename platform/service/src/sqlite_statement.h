// The small SQLite helpers of the service's own stores (quarantine, failed
// moves, scan history): a prepared statement that finalizes itself, and the
// one-statement exec and rollback.
#pragma once

#include <sqlite3.h>
#include <stdint.h>

#include <string>

namespace tavo::service {

inline int Exec(sqlite3* db, const char* szSql) {
    return sqlite3_exec(db, szSql, nullptr, nullptr, nullptr) == SQLITE_OK ? 0 : -1;
}

inline void Rollback(sqlite3* db) { sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr); }

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* szSql) {
        if (sqlite3_prepare_v2(db, szSql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return stmt_ != nullptr; }
    Statement& Bind(int index, const std::string& text) {
        if (stmt_)
            sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindInt(int index, int64_t value) {
        if (stmt_) sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    std::string Text(int column) const {
        const unsigned char* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p),
                               static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                 : "";
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace tavo::service
