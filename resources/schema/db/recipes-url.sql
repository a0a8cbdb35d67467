CREATE INDEX IF NOT EXISTS recipesUrl ON recipes (url)
