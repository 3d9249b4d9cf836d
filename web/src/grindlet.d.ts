// Types of QZ-Grindlet for Web Audio. The build writes this file into dist/ with the settings
// typed control by control from the table of controls.

/** One choice of a control that takes a choice. */
export interface Choice {
  /** As typed: lower case ("round", "mu-law"). */
  readonly symbol: string;
  /** As shown ("Round", "Mu-law"). */
  readonly name: string;
}

/** One row of the controls' table: every front end's facts about a control. */
export interface Control {
  /** The control's name in settings, in `node.parameters` and on the command line. */
  readonly symbol: ControlSymbol;
  readonly name: string;
  /** "bits", "Hz", "dB", "%", "octaves"; empty for a choice or a plain number. */
  readonly unit: string;
  readonly minimum: number;
  readonly maximum: number;
  /** The minimum itself is not accepted (a rate must be above 0). */
  readonly minimumExcluded: boolean;
  /** Where a slider is best started and ended. */
  readonly sliderMinimum: number;
  readonly sliderMaximum: number;
  /** A slider is best logarithmic. */
  readonly logarithmic: boolean;
  /** Whole numbers only (a choice's index, a seed). */
  readonly integer: boolean;
  /** For a choice, the index of its default. */
  readonly default: number;
  /** Empty for a number. */
  readonly choices: readonly Choice[];
  /** What it does, in a musician's words. */
  readonly description: string;
  /** The same in a line. */
  readonly brief: string;
  /** What it accepts, in words: "from 0 to 32 bits". */
  readonly range: string;
}

/* @SETTINGS@ */

/** The controls in the engine's order. */
export const CONTROLS: readonly Control[];

/** A factory preset: every control's value (a choice by its symbol). */
export interface Preset {
  readonly symbol: string;
  readonly label: string;
  readonly settings: Settings;
}

export const PRESETS: readonly Preset[];

/** The most channels a node or a render takes. */
export const MOST_CHANNELS: 32;
/** Frames per render quantum: AudioParams are read once per this many frames. */
export const QUANTUM_FRAMES: 128;

/** What a context may be: the browser's own, or a Tone.js context (or its raw context). */
export type AnyAudioContext = BaseAudioContext | { readonly rawContext: unknown };

export interface GrindletNodeOptions {
  /** 1 to 32 channels; 2 by default. */
  channelCount?: number;
  settings?: Settings;
  /** Start bypassed (the dry signal). */
  bypass?: boolean;
  /** Record the numbers the first this many quanta read (see controlsUsed). */
  recordQuanta?: number;
}

/** The effect as an AudioWorkletNode: numbers are k-rate AudioParams named by their symbols. */
export class GrindletNode extends AudioWorkletNode {
  private constructor();
  /** Resolves once the effect runs in the audio thread. */
  readonly ready: Promise<void>;
  /** Numbers at the context's current time, choices from the next quantum on. */
  set(settings: Settings): void;
  /** A choice's symbol as last set. */
  choice(symbol: ChoiceSymbol): string;
  /** true: the dry signal, crossfaded without a click. */
  bypass: boolean;
  /** As if just made, with the controls as they are. */
  reset(): void;
  /** The numbers each recorded quantum read, by symbol (a node made with recordQuanta). */
  controlsUsed(): Promise<Record<NumberSymbol, Float32Array>>;
  /** Frees the engine and disconnects the node; any later call but this one throws. */
  dispose(): void;
}

/** Compiles the engine (once per page or process); the other calls do it when needed. */
export function loadEngine(): Promise<WebAssembly.Module>;

/** Adds the worklet to the context (once) and makes a node, once it runs. */
export function createGrindletNode(context: AnyAudioContext, options?: GrindletNodeOptions): Promise<GrindletNode>;

export interface RenderOptions {
  /** Schedules the node's AudioParams before rendering (a browser's Web Audio only). */
  automate?: (node: GrindletNode, context: OfflineAudioContext) => void;
  /** Also give the numbers each quantum read. */
  recordControls?: boolean;
}

export interface RenderWithControls {
  channels: Float32Array[];
  controls: Record<NumberSymbol, Float32Array>;
}

/** The channels through the effect, exactly as a node renders them (in Node.js too). */
export function renderOffline(
  channels: Float32Array[],
  sampleRate: number,
  settings?: Settings,
  options?: RenderOptions & { recordControls?: false },
): Promise<Float32Array[]>;
export function renderOffline(
  channels: Float32Array[],
  sampleRate: number,
  settings: Settings | undefined,
  options: RenderOptions & { recordControls: true },
): Promise<RenderWithControls>;
export function renderOffline(
  channels: Float32Array[],
  sampleRate: number,
  settings?: Settings,
  options?: RenderOptions,
): Promise<Float32Array[] | RenderWithControls>;
