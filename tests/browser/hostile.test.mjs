// Hostile content under the page's own Content-Security-Policy (see hostile.mjs).
import {hostileSuite} from './hostile.mjs';

hostileSuite({bypassCSP: false});
