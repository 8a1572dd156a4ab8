// Keeps the page in step with the studio's server: once a second it asks for
// the setting's version. Another tab's change is taken in; a server that
// does not answer is noticed within a couple of seconds and said plainly, as
// is one that has come back with a new session (its new address must be
// opened: the token of this page is no longer the studio's).
import { api, ApiError } from './api.js';

const EVERY_MS = 1000;

export class Watch {
  // setting: the page's Setting; took(state, names) hears of another
  // tab's changes; unsaved(flag) of the server's word on what is unsaved;
  // down(kind) of 'stopped', 'restarted' or null (answering again).
  constructor({ setting, took, unsaved, down }) {
    this.setting = setting;
    this.took = took;
    this.unsaved = unsaved;
    this.down = down;
    this.state = null; // null while the server answers
    this.timer = null;
  }

  start() {
    this.timer = setInterval(() => this.poll(), EVERY_MS);
  }

  async poll() {
    if (this.polling || this.setting.busy) return;
    this.polling = true;
    try {
      const seen = await api.version();
      this.report(null);
      if (seen.version !== this.setting.version && !this.setting.busy) {
        const state = await api.state();
        if (!this.setting.busy) this.took(state, this.setting.adopt(state));
      }
      this.unsaved(seen.changed);
    } catch (error) {
      if (error instanceof ApiError && error.status === 403) this.report('restarted');
      else if (error instanceof ApiError && error.status === 0) this.report('stopped');
    } finally {
      this.polling = false;
    }
  }

  report(kind) {
    if (kind === this.state) return;
    this.state = kind;
    this.down(kind);
  }
}
