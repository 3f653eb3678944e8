// Hostile content with the page's Content-Security-Policy bypassed in the browser, so that a
// missing escape cannot hide behind the policy (see hostile.mjs).
import {hostileSuite} from './hostile.mjs';

hostileSuite({bypassCSP: true});
