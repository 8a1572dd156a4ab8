// The transport: Play and Stop, the position bar (click to go there, drag to
// choose a region that loops, double-click for the whole file again), the
// time to the millisecond, the output's level meter with its clip light,
// Bypass, Sweep and the export of what was heard.
const $ = (id) => document.getElementById(id);

export function formatTime(seconds) {
  const ms = Math.max(0, Math.round((seconds || 0) * 1000));
  const s = Math.floor(ms / 1000);
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}.${String(ms % 1000).padStart(3, '0')}`;
}

export class Transport {
  constructor({ player, exported }) {
    this.player = player;
    this.exported = exported;
    this.shown = { position: 0, duration: 0, playing: false };
    this.region = null;
    this.clipHeld = 0;
    this.wire();
  }

  wire() {
    $('play').addEventListener('click', () => this.toggle());
    const bar = $('position');
    let down = null;
    bar.addEventListener('pointerdown', (event) => {
      if (event.button !== 0) return;
      bar.setPointerCapture(event.pointerId);
      down = { x: event.clientX, seconds: this.secondsAt(event.clientX), dragged: false };
    });
    bar.addEventListener('pointermove', (event) => {
      if (!down) return;
      if (Math.abs(event.clientX - down.x) > 4) down.dragged = true;
      if (down.dragged) {
        const at = this.secondsAt(event.clientX);
        this.showRegion([Math.min(down.seconds, at), Math.max(down.seconds, at)]);
      }
    });
    bar.addEventListener('pointerup', (event) => {
      if (!down) return;
      const at = this.secondsAt(event.clientX);
      if (down.dragged && Math.abs(at - down.seconds) > 0.01) {
        this.setRegion([Math.min(down.seconds, at), Math.max(down.seconds, at)]);
      } else {
        this.player.seek(at);
      }
      down = null;
    });
    bar.addEventListener('dblclick', () => this.setRegion(null));
    bar.addEventListener('keydown', (event) => {
      const step = event.shiftKey ? 0.1 : 1;
      if (event.key === 'ArrowRight' || event.key === 'ArrowLeft') {
        event.preventDefault();
        this.player.seek(this.shown.position + (event.key === 'ArrowRight' ? step : -step));
      } else if (event.key === 'Home') {
        event.preventDefault();
        this.player.seek(this.region?.[0] ?? 0);
      } else if (event.key === '[' || event.key === ']') {
        // The loop's start or end where playback is now.
        const [a, b] = this.region ?? [0, this.shown.duration];
        const at = this.shown.position;
        this.setRegion(event.key === '[' ? [at, Math.max(b, at + 0.01)] : [Math.min(a, at - 0.01), at]);
      } else if (event.key === 'Escape') {
        this.setRegion(null);
      }
    });
    $('bypass').addEventListener('change', () => this.player.bypass($('bypass').checked));
    const sweep = () => {
      const ends = ['sweep-from', 'sweep-to'].map((id) => Number($(id).value));
      const ok = ends.every((v) => $('sweep-from').value.trim() !== '' && Number.isFinite(v) && v >= 0 && v <= 1);
      for (const id of ['sweep-from', 'sweep-to']) $(id).classList.toggle('invalid', !ok);
      this.player.sweep($('sweep').checked && ok, ...(ok ? ends : [1, 0]));
    };
    $('sweep').addEventListener('change', sweep);
    $('sweep-from').addEventListener('change', sweep);
    $('sweep-to').addEventListener('change', sweep);
    $('export').addEventListener('click', () => this.export());
  }

  toggle() {
    if (this.player.playing) this.player.stop();
    else this.player.play();
  }

  secondsAt(clientX) {
    const box = $('position').getBoundingClientRect();
    const t = Math.min(1, Math.max(0, (clientX - box.left) / box.width));
    return t * this.shown.duration;
  }

  setRegion(region) {
    const whole = !region || region[1] - region[0] >= this.shown.duration - 1e-3;
    this.region = whole ? null : [Math.max(0, region[0]), Math.min(this.shown.duration, region[1])];
    this.showRegion(this.region);
    if (this.region) this.player.loop(...this.region);
    else this.player.loop(null, null);
  }

  showRegion(region) {
    const box = $('position').querySelector('.region');
    const d = this.shown.duration || 1;
    box.hidden = !region;
    if (region) {
      box.style.left = `${(100 * region[0]) / d}%`;
      box.style.width = `${(100 * (region[1] - region[0])) / d}%`;
    }
    $('position').title = region
      ? `loops ${formatTime(region[0])} to ${formatTime(region[1])}; double-click or Escape for the whole file`
      : 'click to go there, drag to choose a region to loop; [ and ] set its ends at the playing position';
  }

  // What the player reports, shown: position, time, Play's label, level.
  show(report) {
    Object.assign(this.shown, report);
    const { position, duration, playing } = this.shown;
    $('play').textContent = playing ? 'Stop' : 'Play';
    $('play').classList.toggle('playing', playing);
    const bar = $('position');
    const t = duration ? Math.min(1, position / duration) : 0;
    bar.querySelector('.head').style.left = `${100 * t}%`;
    bar.setAttribute('aria-valuemax', duration.toFixed(3));
    bar.setAttribute('aria-valuenow', position.toFixed(3));
    bar.setAttribute('aria-valuetext', formatTime(position));
    $('time').textContent = `${formatTime(position)} / ${formatTime(duration)}`;
    if (report.peak !== undefined) this.meter(report.peak, report.clipped);
    else if (!playing) this.meter(0, 0);
    if (report.renderPeak !== undefined) {
      // The server's render, as `tolvane render` reports it.
      $('level').textContent = `peak ${report.renderPeak}, ${report.renderSaturated} saturated`;
      $('level').classList.toggle('saturated', report.renderSaturated > 0);
      $('level').classList.remove('stale');
      $('level').title = 'the render playing, as tolvane render reports it';
    }
  }

  // The loudest sample since the last report, in dBFS; the clip light stays
  // lit a second after a saturated sample.
  meter(peak, clipped) {
    const db = peak > 0 ? 20 * Math.log10(peak / 32768) : -Infinity;
    const fill = Math.max(0, Math.min(1, (db + 60) / 60));
    $('meter').querySelector('.fill').style.width = `${80 * fill}px`;
    $('meter').title = Number.isFinite(db) ? `output peak ${db.toFixed(1)} dBFS` : 'output silent';
    const now = performance.now();
    if (clipped > 0) {
      this.clipHeld = now + 1000;
      this.clips = (this.clips ?? 0) + clipped;
    }
    const light = $('meter').querySelector('.clip');
    light.classList.toggle('lit', now < this.clipHeld);
    light.title = `${this.clips ?? 0} samples saturated at +32767 or -32768 since the file was opened`;
  }

  // The server's render on show is of the setting before the last edit.
  staleLevel() {
    const level = $('level');
    if (level.textContent && !level.classList.contains('stale')) {
      level.classList.add('stale');
      level.title = 'the last render\'s, from before the last edit: Play renders the setting again';
    }
  }

  resetFile(duration) {
    this.shown.duration = duration;
    this.shown.position = 0;
    this.clips = 0;
    this.region = null;
    this.showRegion(null);
    this.show({});
  }

  async export() {
    const text = await this.player.log();
    if (!text) {
      this.exported?.(null);
      return;
    }
    const url = URL.createObjectURL(new Blob([text], { type: 'text/plain' }));
    const link = document.createElement('a');
    link.href = url;
    link.download = 'heard.automation';
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
    this.exported?.(text);
  }
}
