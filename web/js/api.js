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

export class ApiError extends Error {
  constructor(what, code, detail, data) {
    const text = code
      ? `${what} failed: error ${code} (${errorName(code)})`
      : `${what} failed: ${detail}`;
    super(text);
    this.name = 'ApiError';
    this.code = code || 0;
    this.data = data;
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
};
