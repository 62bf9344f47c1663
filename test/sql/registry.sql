-- Module frame: settings, their defaults and limits, and vr_version().
SELECT name, setting, vartype, context, short_desc, enumvals
  FROM pg_settings WHERE name LIKE 'vireo.%' AND name <> 'vireo.version' ORDER BY name;

-- the module's release is read only, for everybody
SELECT vartype, context, short_desc, setting ~ '^[0-9]+\.[0-9]+\.[0-9]+$' AS release_number
  FROM pg_settings WHERE name = 'vireo.version';
SET vireo.version = '0.1';
ALTER SYSTEM SET vireo.version = '0.1';

SELECT vr_version();

-- explain_format takes text and json only
SET vireo.explain_format = 'json';
SHOW vireo.explain_format;
SET vireo.explain_format = 'xml';
SET vireo.explain_format = 'yaml';
SET vireo.explain_format = 1;
RESET vireo.explain_format;
SHOW vireo.explain_format;

SET vireo.enabled = maybe;
SET vireo.use_array_for_paramas = 2;
SET vireo.enabled = off;
SHOW vireo.enabled;
RESET vireo.enabled;

-- the prefix is reserved: misspelt settings are refused (from 15 on; 14 only
-- warns about those set before the module loads: registry_1.out)
SET vireo.enable = on;

-- the install script made the admin role, and running it again does not fail
SELECT rolname, rolcanlogin FROM pg_roles WHERE rolname = 'vireo_admin';
DROP EXTENSION vireo;
CREATE EXTENSION vireo;
SELECT count(*) FROM pg_roles WHERE rolname = 'vireo_admin';

-- version 1.0 updates to the current one, with the functions 1.1 added
DROP EXTENSION vireo;
CREATE EXTENSION vireo VERSION '1.0';
SELECT extversion FROM pg_extension WHERE extname = 'vireo';
ALTER EXTENSION vireo UPDATE;
SELECT extversion FROM pg_extension WHERE extname = 'vireo';
SELECT vr_is_json('{"Plan": {}}') AS is_json;

-- every SQL function the install script declares exists in the library
SELECT proname, provolatile, proisstrict, pg_get_function_result(oid) AS result
  FROM pg_proc WHERE proname LIKE 'vr\_%' ORDER BY proname;

-- nothing is active in a fresh server
SELECT count(*) FROM vr_active_traces();
