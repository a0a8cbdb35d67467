CREATE TABLE IF NOT EXISTS uuids (
    deviceUUID BLOB NOT NULL,
    imageUUID BLOB NOT NULL,
    CONSTRAINT uniqueness UNIQUE (deviceUUID, imageUUID)
)
