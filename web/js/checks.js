// Input checks of the forms, run before anything is sent: each problem names
// the field and says how to fix it. They accept what the service accepts
// (schedule times as the service's schedule parser reads them) and hold
// paths to what a scan can reach: absolute paths on a volume.

const CONTROL = /[\u0000-\u001f\u007f]/;

// Why a path cannot be scanned (onVolume) or listed, or '' when it can.
export function pathProblem(path, onVolume = true) {
  if (CONTROL.test(path)) return 'holds a control character; remove it';
  if (!path.startsWith('/')) {
    const rest = path.replace(/^(\.\/)+/, '');
    const example = /^volume[1-9]/.test(rest) ? `/${rest}` : `/volume1/${rest}`;
    return `is not an absolute path; write it from the volume, e.g. "${example}"`;
  }
  if (onVolume && !/^\/volume[1-9][0-9]*(\/|$)/.test(path)) return 'is not on a volume; paths start with the volume, e.g. "/volume1/share"';
  if (path.split('/').some((part) => part === '.' || part === '..')) return 'holds "." or ".."; write the path without them';
  if (path.length >= 4096) return 'is too long (4096 characters or more)';
  return '';
}

// The lines of a path list (blank lines skipped), or the first problem:
// { paths } or { problem, line }. Scans reach only the volumes; the white
// list may also hold system files (onVolume false).
export function checkPathLines(text, what, onVolume = true) {
  const paths = [];
  const seen = new Map();
  const lines = text.split('\n');
  for (let i = 0; i < lines.length; i += 1) {
    const path = lines[i].trim();
    if (!path) continue;
    const problem = pathProblem(path, onVolume);
    if (problem) return { problem: `${what}, line ${i + 1}: "${path}" ${problem}.`, line: i + 1 };
    if (seen.has(path)) {
      return { problem: `${what}, line ${i + 1}: "${path}" is already on line ${seen.get(path)}; remove one of them.`, line: i + 1 };
    }
    seen.set(path, i + 1);
    paths.push(path);
  }
  if (paths.length === 0) return { problem: `${what}: enter at least one path, e.g. "/volume1/share".`, line: 1 };
  return { paths };
}

// An extension as stored (no leading "*." or "."), or a problem.
export function checkExtension(text) {
  const value = text.trim().replace(/^\*?\./, '');
  if (!value) return { problem: 'Extension: enter the letters after the dot, e.g. "exe".' };
  if (value.includes('.')) {
    return { problem: `Extension: "${value}" holds a dot; only the last extension counts, enter "${value.split('.').pop()}".` };
  }
  if (!/^[A-Za-z0-9_+~-]+$/.test(value)) {
    return { problem: `Extension: "${value}" may hold only letters, digits, "-", "_", "+" and "~"; e.g. "exe".` };
  }
  if (value.length > 32) return { problem: `Extension: "${value}" is longer than 32 characters.` };
  return { value };
}

const CRON_FIELDS = [
  ['minute', 0, 59], ['hour', 0, 23], ['day of the month', 1, 31], ['month', 1, 12], ['weekday', 0, 7],
];

function numberProblem(text, [name, low, high]) {
  if (!/^[0-9]{1,2}$/.test(text)) return `the ${name} "${text}" is not a number from ${low} to ${high}`;
  const n = Number(text);
  if (n < low || n > high) return `the ${name} ${n} is outside ${low}–${high}`;
  return '';
}

// Why a trigger time is refused, or '' when the service takes it: five
// fields separated by blanks, each a comma list of "*", "N" or "N-M",
// each optionally with "/step".
export function cronTimeProblem(text) {
  if (!text.trim()) return 'it is empty; enter five fields, e.g. "30 2 * * 0" (Sundays at 02:30)';
  const stray = text.match(/[^0-9*,\/ -]/);
  if (stray) return `"${stray[0]}" is not allowed; use only digits, "*", ",", "-", "/" and blanks`;
  const fields = text.split(' ').filter(Boolean);
  if (fields.length !== 5) {
    return `it has ${fields.length} field${fields.length === 1 ? '' : 's'}, not five ("minute hour day month weekday", e.g. "30 2 * * 0")`;
  }
  for (let i = 0; i < 5; i += 1) {
    const range = CRON_FIELDS[i];
    for (const item of fields[i].split(',')) {
      let base = item;
      const slash = item.indexOf('/');
      if (slash >= 0) {
        const step = item.slice(slash + 1);
        if (!/^[0-9]{1,2}$/.test(step) || Number(step) < 1 || Number(step) > range[2]) {
          return `the step "/${step}" of the ${range[0]} must be a number from 1 to ${range[2]}`;
        }
        base = item.slice(0, slash);
      }
      if (base === '*') continue;
      const dash = base.indexOf('-');
      if (dash < 0) {
        const problem = numberProblem(base, range);
        if (problem) return problem;
      } else {
        const from = base.slice(0, dash);
        const to = base.slice(dash + 1);
        const problem = numberProblem(from, range) || numberProblem(to, range);
        if (problem) return problem;
        if (Number(from) > Number(to)) return `the ${range[0]} range "${base}" runs backwards; write "${to}-${from}"`;
      }
    }
  }
  return '';
}

// The first problem of a schedule: { row (1-based), field, problem } or null.
export function checkSchedule(jobs) {
  const seen = new Map();
  for (let i = 0; i < jobs.length; i += 1) {
    const job = jobs[i];
    const row = i + 1;
    const timeProblem = cronTimeProblem(job.triggerTime);
    if (timeProblem) return { row, field: 'time', problem: `Scheduled scan ${row}, time "${job.triggerTime}": ${timeProblem}.` };
    if (job.scanType === 'custom') {
      if (!job.scanTarget) {
        return { row, field: 'target', problem: `Scheduled scan ${row}, target: a custom scan needs paths, separated by ":", e.g. "/volume1/share:/volume2/backup".` };
      }
      const paths = job.scanTarget.split(':');
      for (const path of paths) {
        const problem = path ? pathProblem(path) : 'is empty (two ":" in a row, or one at an end); remove the extra ":"';
        if (problem) return { row, field: 'target', problem: `Scheduled scan ${row}, target "${path}" ${problem}.` };
      }
      const twice = paths.find((path, index) => paths.indexOf(path) !== index);
      if (twice) return { row, field: 'target', problem: `Scheduled scan ${row}, target: "${twice}" is listed twice; remove one.` };
    }
    const key = [job.triggerTime.split(' ').filter(Boolean).join(' '), job.scanType,
      job.scanType === 'custom' ? job.scanTarget : ''].join('\n');
    if (seen.has(key)) {
      return { row, field: 'time', problem: `Scheduled scan ${row} repeats scheduled scan ${seen.get(key)}; remove one of them or change its time.` };
    }
    seen.set(key, row);
  }
  return null;
}
