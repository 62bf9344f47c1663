-- vireo 1.0 to 1.1
\echo Use "ALTER EXTENSION vireo UPDATE TO '1.1'" to load this file. \quit

-- Whether a text is JSON that a cast to json accepts, without an error for
-- one that is not (some releases print invalid JSON for a few plans).
CREATE FUNCTION vr_is_json(text)
RETURNS bool
AS 'MODULE_PATHNAME', 'vr_is_json'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;
