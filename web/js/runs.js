// The scan history (TAVO.AntiVirus.History): run records and the failed-move
// list. Where no plug-in serves that API the calls answer null, and the
// pages fall back on what the status summary tells.

import { API, get, notServed } from './api.js';

let served = null;  // null: not asked yet; true/false after the first answer

export function historyServed() {
  return served;
}

// Calls a History method; null when the API is not served, otherwise its
// answer (errors other than "not served" are thrown).
export async function historyCall(method, params = {}) {
  try {
    const data = await get(API.history, method, params);
    served = true;
    return data;
  } catch (err) {
    if (notServed(err)) {
      served = false;
      return null;
    }
    throw err;
  }
}

// The newest runs, newest first: { total, runs } or null.
export function recentRuns(limit = 5) {
  return historyCall('list', { start: 0, limit });
}

// The highest run id recorded so far (0 for none), or null without history.
export async function lastRunId() {
  const data = await recentRuns(1);
  if (!data) return null;
  return data.runs && data.runs.length ? data.runs[0].id : 0;
}

// The newest run of one of the kinds that is newer than afterId, or null.
export async function newRunSince(afterId, kinds) {
  const data = await recentRuns(10);
  if (!data) return null;
  return (data.runs || []).find((run) => run.id > afterId && kinds.includes(run.kind)) || null;
}
