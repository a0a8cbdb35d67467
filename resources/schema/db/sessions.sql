CREATE TABLE IF NOT EXISTS sessions (
    row_id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent_id INTEGER,
    timestamp DATETIME DEFAULT CURRENT_TIMESTAMP,
    operation VARCHAR(1),
    display_name TEXT NOT NULL,
    root_url TEXT,
    recursive INTEGER(1) NOT NULL DEFAULT 0,
    condition BLOB,
    FOREIGN KEY(parent_id) REFERENCES sessions(row_id) ON DELETE CASCADE
)
