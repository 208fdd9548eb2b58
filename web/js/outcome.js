// What a scan run and the service's state mean in words: pure functions of
// the status summary (General get_sys_info) and the History plug-in's run
// records, so that the page never says more than these readings show.
// Green ("good") only for a scan that ran to its end, read every file and
// found nothing.

const KINDS = {
  full: 'Full scan',
  system: 'System scan',
  custom: 'Custom scan',
  reprocess: 'Re-processing',
};

export function count(n) {
  const value = Number(n);
  return Number.isFinite(value) ? value.toLocaleString('en-US') : String(n);
}

function plural(n, one, many) {
  return `${count(n)} ${Number(n) === 1 ? one : many}`;
}

export function kindText(kind) {
  return KINDS[kind] || (kind ? `${kind} scan` : 'Scan');
}

// "user admin" / "address 10.0.0.5" / "schedule" / "local" as a reader says it.
export function whoText(who) {
  if (!who) return '';
  if (who === 'schedule') return 'the schedule';
  if (who === 'local') return 'the command line';
  return who;
}

// The problems of a run that did not stop it: unreadable files, failed moves.
export function runProblems(run) {
  const problems = [];
  if (Number(run.unreadable) > 0) problems.push(`${plural(run.unreadable, 'file', 'files')} could not be read`);
  if (Number(run.failedMoves) > 0) {
    problems.push(`${plural(run.failedMoves, 'file', 'files')} could not be moved into the quarantine`);
  }
  return problems;
}

// " First part; second part." or "".
function sentence(parts) {
  if (parts.length === 0) return '';
  const text = parts.join('; ');
  return ` ${text[0].toUpperCase()}${text.slice(1)}.`;
}

// A run record in a word, a sentence and a tone.
export function runOutcome(run) {
  const scanned = Number(run.scanned) || 0;
  const total = Number(run.total) || 0;
  const of = total > 0 ? `${count(scanned)} of ${count(total)} files` : plural(scanned, 'file', 'files');
  const problems = runProblems(run);
  const tail = sentence(problems);
  const found = Number(run.infected) > 0 ? ` Found ${plural(run.infected, 'infected file', 'infected files')}.` : '';
  if (run.kind === 'reprocess') return reprocessOutcome(run);
  switch (run.outcome) {
    case 'running':
      return { word: 'Running', text: `Running: ${of} so far.`, tone: 'busy' };
    case 'stopped': {
      const by = run.stoppedBy ? ` by ${whoText(run.stoppedBy)}` : '';
      return { word: 'Scan stopped', text: `Stopped after ${of}${by}.${found}${tail}`, tone: 'warn' };
    }
    case 'failed':
      return { word: 'Scan failed', text: `The scan failed: ${run.reason || 'no reason was recorded'}.`, tone: 'bad' };
    case 'interrupted':
      return {
        word: 'Scan interrupted',
        text: `The scanner ended unexpectedly after ${of}.${found}${tail}`,
        tone: 'bad',
      };
    case 'completed':
      if (scanned === 0) {
        return {
          word: 'Nothing scanned',
          text: `Nothing was scanned: ${run.reason || 'no file matched the scan targets'}.`,
          tone: 'warn',
        };
      }
      if (Number(run.infected) > 0) {
        return { word: 'Threats found', text: `Scanned ${of}.${found}${tail}`, tone: 'bad' };
      }
      if (problems.length) {
        return {
          word: 'Scan incomplete',
          text: `Scanned ${of} and found no infected files, but ${problems.join(' and ')}.`,
          tone: 'warn',
        };
      }
      return { word: 'Scan completed', text: `Scanned ${of} and found no infected files.`, tone: 'good' };
    default:
      return { word: run.outcome || 'Unknown', text: 'The history records an outcome this page does not know.', tone: 'warn' };
  }
}

function reprocessOutcome(run) {
  const tried = (Number(run.quarantined) || 0) + (Number(run.failedMoves) || 0);
  switch (run.outcome) {
    case 'running':
      return { word: 'Running', text: 'Re-processing the files that could not be moved.', tone: 'busy' };
    case 'failed':
      return { word: 'Re-processing failed', text: `Re-processing failed: ${run.reason || 'no reason was recorded'}.`, tone: 'bad' };
    case 'completed':
    case 'stopped':
    case 'interrupted': {
      const moved = `${count(run.quarantined || 0)} of ${plural(tried, 'file', 'files')} moved into the quarantine`;
      if (Number(run.failedMoves) > 0) {
        return {
          word: 'Some files still not moved',
          text: `Re-processing: ${moved}; ${plural(run.failedMoves, 'file', 'files')} still could not be moved.`,
          tone: 'warn',
        };
      }
      return { word: 'Re-processed', text: `Re-processing: ${moved}.`, tone: run.outcome === 'completed' ? 'good' : 'warn' };
    }
    default:
      return { word: run.outcome || 'Unknown', text: 'The history records an outcome this page does not know.', tone: 'warn' };
  }
}

// The result of a scan from the status summary alone (no history): what the
// counters show, and green only when every counted file was scanned.
export function countersOutcome(status) {
  const scan = status.scan || {};
  const scanned = Number(scan.scanned) || 0;
  const total = Number(status.scanFileCountTotal) || 0;
  if (scanned === 0) {
    return {
      word: 'Nothing scanned',
      text: 'Nothing was scanned: no file of the targets could be reached (the event log may say more).',
      tone: 'warn',
    };
  }
  if (total > scanned) {
    return { word: 'Scan stopped', text: `Stopped after ${count(scanned)} of ${count(total)} files.`, tone: 'warn' };
  }
  return {
    word: 'Scan completed',
    text: `Scanned ${plural(scanned, 'file', 'files')} and found no infected files. Acknowledge the result to close it.`,
    tone: 'good',
  };
}

// The newest scan (not re-processing) among run records, newest first.
export function lastScan(runs) {
  return (runs || []).find((run) => run.kind !== 'reprocess') || null;
}
