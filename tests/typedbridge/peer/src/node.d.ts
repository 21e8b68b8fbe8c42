// The few Node.js globals the peer uses (no @types/node in this small client).
declare const require: (name: string) => any;
declare const process: any;
declare const Buffer: any;
declare const console: { log: (...args: any[]) => void; error: (...args: any[]) => void };
declare function setTimeout (callback: () => void, ms: number): any;
declare function clearTimeout (handle: any): void;
