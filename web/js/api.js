// Calls of the web API: one place that builds the request, reads the answer
// and turns every failure into an ApiError with a readable message.

export const ENDPOINT = '/webapi/api.cgi';

const ERROR_NAMES = {
  101: 'bad request',
  102: 'no such API',
  103: 'no such method',
  104: 'version not supported',
  105: 'cross-site request refused',
  114: 'missing or wrong-typed parameter',
  117: 'internal error',
  120: 'invalid parameter value',
};

export function errorName(code) {
  return ERROR_NAMES[code] || 'unknown error';
}

// What an error answer means for one method and what to do about it, where
// the code alone would leave a person guessing.
export const HINTS = {
  'General get_sys_info': { 117: 'the service state cannot be read; no scan can start until it can' },
  'Scan start_custom': {
    120: 'every path must be absolute and on a volume, e.g. "/volume1/share"',
  },
  'Scan pause': { 117: 'no scan is running, or the service state could not be read' },
  'Scan resume': { 117: 'no paused scan is waiting, or the service state could not be read' },
  'Scan stop': { 117: 'nothing is running to stop, or the service state could not be read' },
  'FileExt add': { 120: 'an extension is letters and digits without a dot, e.g. "exe"' },
  'FileExt delete': { 117: 'an extension is no longer listed; refresh the list' },
  'WhiteList add': { 120: 'a white list entry is an absolute path, e.g. "/volume1/share/tool.exe"' },
  'WhiteList delete': { 117: 'an entry is no longer listed; refresh the list' },
  'Schedule save': {
    120: 'a row holds a time, type or target the service does not accept; check each row against the help above',
    117: 'the schedule could not be stored or written to the system crontab; see the service log',
  },
  'Quarantine task_status': { 117: 'the task record is gone (finished records are kept a day)' },
  'Quarantine task_stop': { 117: 'the task has already ended' },
  'History get': { 120: 'that run is no longer in the history (the oldest runs are dropped)' },
};

export class ApiError extends Error {
  constructor(what, code, detail, data) {
    const hint = code && HINTS[what] && HINTS[what][code];
    let text = code
      ? `${what} failed: error ${code} (${errorName(code)})`
      : `${what} failed: ${detail}`;
    if (hint) text += ` — ${hint}`;
    super(text);
    this.name = 'ApiError';
    this.code = code || 0;
    this.data = data;
  }
}

// Input the page refuses before sending, worded like the service's own
// refusal of it (120) with the field named and the fix.
export class InputError extends ApiError {
  constructor(what, problem) {
    super(what, 0, '');
    this.code = 120;
    this.message = `${what} failed: error 120 (${errorName(120)}) — ${problem}`;
  }
}

// The form fields of one call: api, version, method, then every parameter
// as its JSON text.
export function fields(api, method, params = {}, version = 1) {
  const form = new URLSearchParams();
  form.set('api', api);
  form.set('version', String(version));
  form.set('method', method);
  for (const [name, value] of Object.entries(params)) {
    if (value !== undefined) form.set(name, JSON.stringify(value));
  }
  return form;
}

export function url(api, method, params = {}, version = 1) {
  return `${ENDPOINT}?${fields(api, method, params, version)}`;
}

// Reads go as GET, changes as POST with a form body. Resolves with the
// answer's data (null when it has none); rejects with ApiError.
export async function call(api, method, params = {}, { post = false, version = 1 } = {}) {
  const what = `${api.replace('TAVO.AntiVirus.', '')} ${method}`;
  let response;
  try {
    if (post) {
      response = await fetch(ENDPOINT, {
        method: 'POST',
        body: fields(api, method, params, version),
        cache: 'no-store',
        credentials: 'same-origin',
      });
    } else {
      response = await fetch(url(api, method, params, version), {
        cache: 'no-store',
        credentials: 'same-origin',
      });
    }
  } catch (err) {
    throw new ApiError(what, 0, `the server cannot be reached (${err.message})`);
  }
  const text = await response.text();
  let answer;
  try {
    answer = JSON.parse(text);
  } catch {
    throw new ApiError(what, 0, `HTTP ${response.status}, the answer is not JSON`);
  }
  if (answer && answer.success === true) return answer.data === undefined ? null : answer.data;
  const code = answer && answer.error && Number.isInteger(answer.error.code) ? answer.error.code : 0;
  throw new ApiError(what, code, `HTTP ${response.status}, unexpected answer`, answer && answer.data);
}

export const post = (api, method, params = {}) => call(api, method, params, { post: true });
export const get = (api, method, params = {}) => call(api, method, params);

export const API = {
  scan: 'TAVO.AntiVirus.Scan',
  general: 'TAVO.AntiVirus.General',
  config: 'TAVO.AntiVirus.Config',
  fileExt: 'TAVO.AntiVirus.FileExt',
  whiteList: 'TAVO.AntiVirus.WhiteList',
  schedule: 'TAVO.AntiVirus.Schedule',
  quarantine: 'TAVO.AntiVirus.Quarantine',
  log: 'TAVO.AntiVirus.Log',
  history: 'TAVO.AntiVirus.History',
};

// Codes that say no plug-in serves an API (or this method of it): the page
// then shows what the other APIs tell instead.
export function notServed(err) {
  return err instanceof ApiError && (err.code === 102 || err.code === 103 || err.code === 104);
}
