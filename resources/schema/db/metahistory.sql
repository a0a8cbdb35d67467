CREATE TABLE IF NOT EXISTS metafiles (
    row_id INTEGER PRIMARY KEY,
    deviceUUID BLOB NOT NULL,
    resourceId INTEGER NOT NULL,
    location TEXT NOT NULL,
    position INTEGER NOT NULL DEFAULT 0,
    length INTEGER NOT NULL,
    checksum UNSIGNED BIG INT,
    timestamp DATETIME DEFAULT CURRENT_TIMESTAMP,
    agesourceid INTEGER NOT NULL,
    CONSTRAINT locationUnique UNIQUE (location, position)
)
