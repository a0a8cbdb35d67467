CREATE INDEX IF NOT EXISTS uuidsByImage ON uuids (imageUUID)
